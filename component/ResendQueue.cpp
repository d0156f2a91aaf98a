// The resend queue's files: keeping, the replay lock, removal by identity and
// setting refused entries aside.
#include "component/ResendQueue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <mutex>
#include <set>
#include <system_error>
#include <tuple>

#include "platform/durable.h"

namespace dz {

namespace {

const std::string_view kCrLf = "\r\n";
// A temporary file of the named-file fallback older than this, and not
// locked by its writer, was left by a killed process.
constexpr time_t kAbandonedAfter = 60;

std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Creates the folder and its missing parents (rwxr-xr-x). "" on success, else why not.
std::string makeFolders(const std::string& folder) {
    if (folder.empty() || folder == "/" || folder == ".") return "";
    struct stat st{};
    if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? "" : folder + " is not a folder";
    if (std::string why = makeFolders(parentOf(folder)); !why.empty()) return why;
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
        return "cannot create " + folder + ": " + durable::errnoText(errno);
    return "";
}

std::string writeAll(int fd, std::string_view data) {
    for (std::string_view piece : {data, kCrLf}) {
        for (size_t done = 0; done < piece.size();) {
            const ssize_t n = ::write(fd, piece.data() + done, piece.size() - done);
            if (n >= 0)
                done += size_t(n);
            else if (errno != EINTR)
                return durable::errnoText(errno);
        }
    }
    return ::fsync(fd) == 0 ? "" : durable::errnoText(errno);
}

// Entry numbers: microseconds since the epoch, rising within the process.
uint64_t nextNumber() {
    static std::atomic<uint64_t> last{0};
    const uint64_t now = uint64_t(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
    uint64_t prev = last.load();
    uint64_t mine = 0;
    do {
        mine = std::max(now, prev + 1);
    } while (!last.compare_exchange_weak(prev, mine));
    return mine;
}

// Entries this process stored but could not remove, by path and identity:
// they are not sent again while the process lives.
struct Unremovable {
    std::mutex mu;
    std::set<std::tuple<std::string, dev_t, ino_t>> entries;
};
Unremovable& unremovable() {
    static Unremovable u;
    return u;
}

bool isUnremovable(const std::string& path, dev_t dev, ino_t ino) {
    Unremovable& u = unremovable();
    std::lock_guard lock(u.mu);
    return u.entries.count({path, dev, ino}) != 0;
}

void setUnremovable(const std::string& path, dev_t dev, ino_t ino, bool on) {
    Unremovable& u = unremovable();
    std::lock_guard lock(u.mu);
    if (on)
        u.entries.insert({path, dev, ino});
    else
        u.entries.erase({path, dev, ino});
}

bool sameFile(const std::string& path, dev_t dev, ino_t ino, bool& gone) {
    struct stat st{};
    gone = ::lstat(path.c_str(), &st) != 0;
    return !gone && st.st_dev == dev && st.st_ino == ino;
}

// A temporary file of the fallback is removed when old and not held by a live writer.
void removeIfAbandoned(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_mtime + kAbandonedAfter < std::time(nullptr) &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0)
        ::unlink(path.c_str());
    ::close(fd);
}

}  // namespace

ResendQueue::ResendQueue(std::string path)
    : base_(std::move(path)), folder_(parentOf(base_)), name_(base_.substr(base_.rfind('/') + 1)) {}

std::optional<uint64_t> ResendQueue::numberOf(std::string_view n) const {
    if (n.size() <= name_.size() + 1 || n.substr(0, name_.size()) != name_ || n[name_.size()] != '.')
        return std::nullopt;
    const std::string_view digits = n.substr(name_.size() + 1);
    if (digits.size() > 19 || digits[0] == '0' ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    uint64_t k = 0;
    for (char c : digits) k = k * 10 + uint64_t(c - '0');
    return k;
}

std::vector<std::string> ResendQueue::names(std::vector<std::string>* temps) const {
    std::vector<std::string> out;
    DIR* dir = ::opendir(folder_.c_str());
    if (dir == nullptr) return out;
    bool hasBase = false;
    std::vector<std::pair<uint64_t, std::string>> numbered;
    const std::string tempPrefix = name_ + ".tmp-";
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view n = e->d_name;
        if (n == name_)
            hasBase = true;
        else if (const auto k = numberOf(n))
            numbered.emplace_back(*k, e->d_name);
        else if (temps && n.starts_with(tempPrefix))
            temps->push_back(folder_ + "/" + e->d_name);
    }
    ::closedir(dir);
    std::sort(numbered.begin(), numbered.end());
    if (hasBase) out.push_back(name_);
    for (auto& [k, n] : numbered) out.push_back(std::move(n));
    return out;
}

// Links the written file `fd` (or, in the fallback, the file at `tempPath`)
// to a new entry name; never replaces one. An empty queue gets the queue
// file's own name, as the one-file form wrote it.
std::string ResendQueue::linkNew(int fd, const std::string& tempPath) const {
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const bool empty = names().empty();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string target = attempt == 0 && empty ? base_ : base_ + "." + std::to_string(nextNumber());
        const int rc = tempPath.empty() ? ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW)
                                        : ::link(tempPath.c_str(), target.c_str());
        if (rc == 0) return target;
        if (errno != EEXIST) return "!" + durable::errnoText(errno);
    }
    return "!no free name beside it";
}

std::string ResendQueue::keep(std::string_view data, std::string& kept) const {
    if (base_.find('\0') != std::string::npos || name_.empty()) return "invalid file name";
    if (std::string why = makeFolders(folder_); !why.empty()) return why;

    // An unnamed file in the folder, linked when whole; without that
    // (no O_TMPFILE or no /proc), a named temporary file locked while written.
    std::string tempPath;
    int fd = ::open(folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0 && ::access("/proc/self/fd", X_OK) != 0) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        std::string pattern = base_ + ".tmp-XXXXXX";
        fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd < 0) return durable::errnoText(errno);
        tempPath = pattern;
        ::flock(fd, LOCK_EX);  // best effort: some network file systems have no locks
        ::fchmod(fd, 0644);
    }
    std::string result = writeAll(fd, data);
    if (result.empty()) {
        result = linkNew(fd, tempPath);
        if (result[0] != '!') {
            kept = result;
            result.clear();
            durable::syncFolder(folder_);
        } else {
            result.erase(0, 1);
        }
    }
    if (!tempPath.empty()) ::unlink(tempPath.c_str());
    ::close(fd);
    return result;
}

ResendQueue::Counts ResendQueue::counts() const {
    Counts c;
    const time_t now = std::time(nullptr);
    for (const std::string& n : names()) {
        struct stat st{};
        if (::lstat((folder_ + "/" + n).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        ++c.kept;
        const int64_t age = std::max<int64_t>(0, int64_t(now - st.st_mtime));
        if (!c.oldestSeconds || age > *c.oldestSeconds) c.oldestSeconds = age;
    }
    if (DIR* dir = ::opendir(rejectedFolder().c_str())) {
        while (const dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.') ++c.rejected;
        ::closedir(dir);
    }
    return c;
}

std::optional<ResendQueue::Replay> ResendQueue::replay(bool wait, std::string& why) const {
    why.clear();
    struct stat st{};
    if (::stat(folder_.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) return Replay(*this, -1);
    const std::string lockPath = base_ + ".lock";
    const int fd = ::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        why = "cannot open " + lockPath + ": " + durable::errnoText(errno);
        return std::nullopt;
    }
    int rc = 0;
    while ((rc = ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
    }
    if (rc != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        return std::nullopt;
    }
    // Without locks (some network file systems) the replay goes on unlocked.
    // One listing serves the sweep of abandoned temporary files and the first entries.
    Replay r(*this, fd);
    std::vector<std::string> temps;
    for (std::string& n : names(&temps)) r.pending_.push_back(std::move(n));
    r.listed_ = true;
    for (const std::string& p : temps) removeIfAbandoned(p);
    return r;
}

ResendQueue::Replay::Replay(const ResendQueue& q, int lockFd) : q_(&q), lockFd_(lockFd) {}

ResendQueue::Replay::Replay(Replay&& o) noexcept
    : q_(o.q_), lockFd_(o.lockFd_), done_(std::move(o.done_)), pending_(std::move(o.pending_)),
      listed_(o.listed_), odd_(std::move(o.odd_)) {
    o.lockFd_ = -1;
}

ResendQueue::Replay::~Replay() {
    if (lockFd_ >= 0) ::close(lockFd_);  // releases the lock
}

std::optional<ResendQueue::Entry> ResendQueue::Replay::next(std::string& why) {
    why.clear();
    // The folder is listed once, and again when that list is used up, for
    // entries kept meanwhile.
    if (pending_.empty() && !listed_)
        for (std::string& n : q_->names())
            if (done_.count(n) == 0) pending_.push_back(std::move(n));
    listed_ = false;
    while (!pending_.empty()) {
        const std::string name = std::move(pending_.front());
        pending_.pop_front();
        if (pending_.empty())
            for (std::string& n : q_->names())
                if (done_.count(n) == 0 && n != name) pending_.push_back(std::move(n));
        const std::string path = q_->folder_ + "/" + name;
        struct stat st{};
        if (::lstat(path.c_str(), &st) != 0) continue;  // gone meanwhile
        if (S_ISDIR(st.st_mode)) {
            done_.insert(name);
            odd_.push_back(path);
            continue;
        }
        if (isUnremovable(path, st.st_dev, st.st_ino)) {
            done_.insert(name);
            if (::unlink(path.c_str()) == 0) {  // removable now
                setUnremovable(path, st.st_dev, st.st_ino, false);
                durable::syncFolder(q_->folder_);
            }
            continue;
        }
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT) continue;
            why = "Cannot read the resend file " + path + ": " +
                  (errno == ELOOP ? std::string("it is a link, which is never followed") : durable::errnoText(errno));
            return std::nullopt;
        }
        Entry e;
        e.path = path;
        struct stat fst{};
        if (::fstat(fd, &fst) != 0 || !S_ISREG(fst.st_mode)) {
            ::close(fd);
            why = "Cannot read the resend file " + path + ": it is not a plain file";
            return std::nullopt;
        }
        e.dev = fst.st_dev;
        e.ino = fst.st_ino;
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0) {
                if (errno == EINTR) continue;
                const int err = errno;
                ::close(fd);
                why = "Cannot read the resend file " + path + ": " + durable::errnoText(err);
                return std::nullopt;
            }
            if (n == 0) break;
            e.text.append(buf, size_t(n));
        }
        ::close(fd);
        done_.insert(name);
        return e;
    }
    return std::nullopt;
}

std::string ResendQueue::Replay::remove(const Entry& e) {
    bool gone = false;
    if (!sameFile(e.path, e.dev, e.ino, gone)) return "";  // moved away meanwhile: never remove another file
    if (::unlink(e.path.c_str()) != 0 && errno != ENOENT) {
        const int err = errno;
        setUnremovable(e.path, e.dev, e.ino, true);
        return durable::errnoText(err);
    }
    // Not synced: a removal lost to a power cut only sends the result again.
    return "";
}

std::string ResendQueue::Replay::setAside(const Entry& e, std::string& moved) {
    const std::string folder = q_->rejectedFolder();
    if (std::string why = makeFolders(folder); !why.empty()) return why;
    bool gone = false;
    if (!sameFile(e.path, e.dev, e.ino, gone)) return gone ? "" : "the file was replaced meanwhile";
    const std::string name = e.path.substr(e.path.rfind('/') + 1);
    for (int k = 1; k < 1000; ++k) {
        const std::string target = folder + "/" + name + (k == 1 ? "" : "-" + std::to_string(k));
        if (::link(e.path.c_str(), target.c_str()) == 0) {
            durable::syncFolder(folder);
            if (::unlink(e.path.c_str()) != 0 && errno != ENOENT) {
                const int err = errno;
                ::unlink(target.c_str());
                setUnremovable(e.path, e.dev, e.ino, true);
                return durable::errnoText(err);
            }
            durable::syncFolder(q_->folder_);
            moved = target;
            return "";
        }
        if (errno != EEXIST) return durable::errnoText(errno);
    }
    return "no free name in " + folder;
}

}  // namespace dz
