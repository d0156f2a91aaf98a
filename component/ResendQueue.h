// The results kept for resend: one queue folder shared by every process and
// thread of the machine. Each kept result is one file, written whole under no
// name and linked into place, so an entry is never seen half written, and
// named after the time it was kept (microseconds) so names sort oldest first
// and never change. A replay holds an exclusive lock on "<queue file>.lock"
// from choosing an entry until that entry is removed, set aside or left, so
// two replays never send the same entry; keeping takes no lock.
//
// Files beside the queue file (its name is the base, "DEZozevo_Resend.xml"):
//   <base>            the oldest result, kept when the queue was empty (as
//                     the one-file form kept its one result); replayed first
//   <base>.<number>   later results, oldest (smallest number) first
//   <base>.lock       the replay lock
//   rejected/         entries the database refused, set aside
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <set>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dz {

class ResendQueue {
public:
    // `path` is the queue file; its folder holds the queue.
    explicit ResendQueue(std::string path);

    const std::string& path() const { return base_; }
    const std::string& folder() const { return folder_; }
    std::string rejectedFolder() const { return folder_ + "/rejected"; }

    // Keeps `data` and a line end as the newest entry, durable on return;
    // `kept` names its file. The folder is created when missing.
    // "" on success, else why not.
    std::string keep(std::string_view data, std::string& kept) const;

    struct Counts {
        uint64_t kept = 0;
        std::optional<int64_t> oldestSeconds;  // age of the oldest entry
        uint64_t rejected = 0;
    };
    Counts counts() const;

    // One entry as a replay read it.
    struct Entry {
        std::string path;
        std::string text;
        dev_t dev = 0;
        ino_t ino = 0;
    };

    // A replay: holds the queue's lock while it lives.
    class Replay {
    public:
        Replay(Replay&&) noexcept;
        Replay& operator=(Replay&&) = delete;
        ~Replay();

        // The oldest entry not yet handled by this replay, skipping entries
        // this process stored but could not remove. nullopt when none is left,
        // or when one cannot be read: then `why` says so and names its file.
        std::optional<Entry> next(std::string& why);
        // Removes exactly this entry (it is stored). "" on success, else why
        // not; an entry that cannot be removed is then remembered by this
        // process and never offered again.
        std::string remove(const Entry& e);
        // Moves the entry into the rejected folder; `moved` names it there.
        // "" on success, else why not.
        std::string setAside(const Entry& e, std::string& moved);
        // Entries passed over because they are folders, not results.
        const std::vector<std::string>& oddEntries() const { return odd_; }

    private:
        friend class ResendQueue;
        Replay(const ResendQueue& q, int lockFd);
        const ResendQueue* q_;
        int lockFd_;
        std::set<std::string> done_;       // names handled in this replay
        std::deque<std::string> pending_;  // names listed, not yet handled
        bool listed_ = false;              // pending_ holds the listing replay() made
        std::vector<std::string> odd_;
    };

    // Takes the replay lock. With `wait`, waits for another replay to end;
    // without, nullopt when another replay holds it (`why` stays empty).
    // nullopt with `why` set when the lock cannot be taken; no queue folder
    // yet gives a replay that finds nothing.
    std::optional<Replay> replay(bool wait, std::string& why) const;

    // The entry names in replay order: the one-file form first, then by number;
    // with `temps`, also the paths of the fallback's temporary files, from the same listing.
    std::vector<std::string> names(std::vector<std::string>* temps = nullptr) const;

private:
    std::optional<uint64_t> numberOf(std::string_view n) const;
    std::string linkNew(int fd, const std::string& tempPath) const;

    std::string base_, folder_, name_;
};

}  // namespace dz
