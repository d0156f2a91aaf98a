// The resend queue shared by processes: several processes keep and replay one
// queue while uploads fail on and off, and some are killed at random moments.
// After a drain every acknowledged result must be stored, twice only where a
// killed replay had already stored it, and keeping never fails on a sound disk.
// DZ_QUEUE_SOAK_SECONDS runs the churn longer than the default few seconds.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "component/ResendQueue.h"
#include "support/station.h"

namespace {

using Clock = std::chrono::steady_clock;

// One line appended with one write: lines of several processes never mix.
void appendLine(const std::string& file, const std::string& line) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string l = line + "\n";
    (void)!::write(fd, l.data(), l.size());
    ::close(fd);
}

std::vector<std::string> linesOf(const std::string& file) {
    std::vector<std::string> out;
    std::ifstream in(file);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

struct Lab {
    dz::test::TempDir dir;
    std::string queuePath = dir.file("q/DEZozevo_Resend.xml");
    std::string down = dir.file("down");          // exists while uploads fail
    std::string stop = dir.file("stop");          // exists when the processes are to end
    std::string database = dir.file("stored");    // "<id> <pid>" per store
    std::string acked = dir.file("acked");        // ids answered "stored" or "kept"
    std::string refusals = dir.file("refusals");  // keeps that failed

    bool isDown() const { return ::access(down.c_str(), F_OK) == 0; }

    // The database: stores a result, unless the network is down.
    bool upload(const std::string& id) const {
        if (isDown()) return false;
        appendLine(database, id + " " + std::to_string(::getpid()));
        return true;
    }

    // Sends kept results oldest first; stops at the first that cannot go.
    void replay(bool wait) const {
        const dz::ResendQueue q(queuePath);
        std::string why;
        auto r = q.replay(wait, why);
        if (!r) return;
        while (auto e = r->next(why)) {
            const std::string id = e->text.substr(0, e->text.find('\r'));
            if (!upload(id)) return;
            r->remove(*e);
        }
    }

    // One station thread: results go up when they can and are kept when not;
    // before each result the queue is replayed, as a unit query does.
    void station(int thread) const {
        const dz::ResendQueue q(queuePath);
        for (int seq = 0; ::access(stop.c_str(), F_OK) != 0; ++seq) {
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            replay(false);
            const std::string id = std::to_string(::getpid()) + "-" + std::to_string(thread) + "-" + std::to_string(seq);
            if (upload(id)) {
                appendLine(acked, id);
                continue;
            }
            std::string kept;
            const std::string why = q.keep(id, kept);
            appendLine(why.empty() ? acked : refusals, why.empty() ? id : id + " " + why);
        }
    }
};

pid_t spawn(const Lab& lab) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::thread other([&] { lab.station(1); });
        lab.station(0);
        other.join();
        ::_exit(0);
    }
    return pid;
}

TEST(ResendQueueShared, ManyProcessesKillsAndOutagesLoseNothing) {
    Lab lab;
    const char* soak = std::getenv("DZ_QUEUE_SOAK_SECONDS");
    const auto churn = std::chrono::seconds(soak != nullptr ? std::atoi(soak) : 6);
    std::mt19937 rng(std::random_device{}());
    std::set<pid_t> live, killed;
    for (int i = 0; i < 4; ++i) live.insert(spawn(lab));

    const auto end = Clock::now() + churn;
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 200));
        if (rng() % 2 == 0) {  // the network goes down or comes back
            if (lab.isDown())
                ::unlink(lab.down.c_str());
            else
                dz::test::writeFile(lab.down, "");
        }
        if (rng() % 3 == 0) {  // a station is killed and another starts
            auto it = std::next(live.begin(), long(rng() % live.size()));
            ::kill(*it, SIGKILL);
            ::waitpid(*it, nullptr, 0);
            killed.insert(*it);
            live.erase(it);
            live.insert(spawn(lab));
        }
    }
    dz::test::writeFile(lab.stop, "");
    for (pid_t pid : live) ::waitpid(pid, nullptr, 0);

    // Drain with the network up.
    ::unlink(lab.down.c_str());
    lab.replay(true);
    EXPECT_EQ(dz::ResendQueue(lab.queuePath).counts().kept, 0u);

    std::map<std::string, std::vector<pid_t>> stores;  // by id, the storing processes in order
    for (const std::string& l : linesOf(lab.database))
        stores[l.substr(0, l.find(' '))].push_back(std::atoi(l.c_str() + l.find(' ') + 1));
    const std::vector<std::string> acked = linesOf(lab.acked), refusals = linesOf(lab.refusals);
    const size_t lost = size_t(std::count_if(acked.begin(), acked.end(), [&](auto& id) { return !stores.count(id); }));
    size_t twice = 0, twiceWithoutKill = 0;
    for (const auto& [id, by] : stores)
        if (by.size() > 1) {
            ++twice;
            // Only a replay killed after the database answered stores a result again.
            if (by.size() > 2 || killed.count(by[0]) == 0) ++twiceWithoutKill;
        }
    EXPECT_GT(acked.size(), 100u);
    EXPECT_EQ(lost, 0u);
    EXPECT_EQ(twiceWithoutKill, 0u);
    EXPECT_LE(twice, killed.size());
    EXPECT_TRUE(refusals.empty()) << refusals[0];
}

}  // namespace
