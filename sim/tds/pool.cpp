#include "sim/tds/pool.h"

#include <malloc.h>

#include <thread>

#include "sim/sim.h"

namespace dz::sim::tds {

void ThreadPool::run(std::function<void()> task) {
    std::lock_guard lock(mu_);
    if (stop_) return;
    tasks_.push_back(std::move(task));
    if (tasks_.size() > idle_) {
        ++live_;
        std::thread([this] { loop(); }).detach();
    } else {
        cv_.notify_one();
    }
}

void ThreadPool::shutdown() {
    std::unique_lock lock(mu_);
    stop_ = true;
    cv_.notify_all();
    ended_.wait(lock, [&] { return live_ == 0; });
}

void ThreadPool::loop() {
    std::unique_lock lock(mu_);
    for (;;) {
        if (tasks_.empty() && !stop_ && idle_ < kIdleThreads) {
            ++idle_;
            cv_.wait_for(lock, kIdleTime, [&] { return !tasks_.empty() || stop_; });
            --idle_;
        }
        if (tasks_.empty()) break;
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
    }
    lock.unlock();
    sim::releaseConnections();
    lock.lock();
    // The last thread gives the memory of the burst back to the system.
    if (--live_ == 0) malloc_trim(0);
    // Wakes shutdown() only once this thread is gone.
    std::notify_all_at_thread_exit(ended_, std::move(lock));
}

}  // namespace dz::sim::tds
