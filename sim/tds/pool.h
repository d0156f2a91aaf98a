// The listener's threads: they run the connections' readers and workers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace dz::sim::tds {

// Runs tasks on threads. A thread that finished its task waits a few seconds
// for the next, so that a new client reuses its database connections; at
// most a few threads wait, so that after a burst of clients the threads and
// their connections (closed at thread exit) go back to none.
class ThreadPool {
public:
    static constexpr size_t kIdleThreads = 4;
    static constexpr std::chrono::seconds kIdleTime{5};

    // Once the pool stops, new tasks are dropped (their connection is closing).
    void run(std::function<void()> task);
    // Lets the queued tasks finish and waits for every thread to end.
    void shutdown();

private:
    void loop();

    std::mutex mu_;
    std::condition_variable cv_, ended_;
    std::deque<std::function<void()>> tasks_;
    size_t idle_ = 0, live_ = 0;
    bool stop_ = false;
};

}  // namespace dz::sim::tds
