// ODBC connections and their pool.
//
// Telling a dead idle connection from a live one without sending anything:
// the driver only knows about failures it has seen itself, so the session
// also remembers which socket the login opened (the one TCP socket that
// appeared in the process during the login) and looks at it before reuse.
// When logins of several threads overlap the socket cannot be told apart;
// the session then relies on the driver alone.
#include "platform/db/drivers/odbc/session.h"

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <set>
#include <thread>

#include "platform/db/drivers/odbc/error.h"
#include "platform/text.h"

namespace dz::db::odbc {

SQLHENV environment() {
    static SQLHENV env = [] {
        SQLHENV h = SQL_NULL_HENV;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h)))
            throw Error("The ODBC environment could not be created.");
        SQLSetEnvAttr(h, SQL_ATTR_ODBC_VERSION, (SQLPOINTER)SQL_OV_ODBC3, 0);
        return h;
    }();
    return env;
}

namespace {

using SocketSet = std::set<std::pair<int, ino_t>>;

// The process's open sockets as (descriptor, inode).
SocketSet openSockets() {
    SocketSet out;
    DIR* d = opendir("/proc/self/fd");
    if (!d) return out;
    int self = dirfd(d);
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long fd = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end || fd == self) continue;
        struct stat st;
        if (fstat(int(fd), &st) == 0 && S_ISSOCK(st.st_mode)) out.insert({int(fd), st.st_ino});
    }
    closedir(d);
    return out;
}

// A connected TCP socket, whose peer port is `port` when that is not 0.
bool isConnectedTcp(int fd, int port) {
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) return false;
    sockaddr_storage peer;
    socklen_t plen = sizeof peer;
    if (getpeername(fd, (sockaddr*)&peer, &plen) != 0) return false;
    int peerPort = 0;
    if (peer.ss_family == AF_INET) peerPort = ntohs(((sockaddr_in*)&peer)->sin_port);
    else if (peer.ss_family == AF_INET6) peerPort = ntohs(((sockaddr_in6*)&peer)->sin6_port);
    else return false;
    return port == 0 || peerPort == port;
}

}  // namespace

Session::Session(const std::string& connectionString, int loginTimeout, const std::string& user, int port)
    : user_(user) {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, environment(), &dbc_))) {
        dbc_ = SQL_NULL_HDBC;
        throw OdbcError(Failure::server, "The ODBC connection handle could not be created.");
    }
    SQLSetConnectAttr(dbc_, SQL_ATTR_LOGIN_TIMEOUT, (SQLPOINTER)(intptr_t)loginTimeout, 0);
    SQLSetConnectAttr(dbc_, SQL_ATTR_CONNECTION_TIMEOUT, (SQLPOINTER)(intptr_t)loginTimeout, 0);

    SocketSet before = openSockets();
    std::u16string cs = text::toUtf16(connectionString);
    SQLRETURN rc = SQLDriverConnectW(dbc_, nullptr, (SQLWCHAR*)cs.data(), SQLSMALLINT(cs.size()), nullptr, 0,
                                     nullptr, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
        std::vector<Diagnostic> diags = diagnostics(SQL_HANDLE_DBC, dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        dbc_ = SQL_NULL_HDBC;
        std::string description = describe(diags, Phase::connect, user_);
        // The driver manager could not load the driver: say which one was meant.
        for (const auto& d : diags)
            if (d.state.rfind("IM", 0) == 0 || d.message.find("[Driver Manager]") != std::string::npos) {
                size_t b = connectionString.find("DRIVER={"), e = connectionString.find("};");
                std::string driver = b == 0 && e != std::string::npos ? connectionString.substr(8, e - 8) : "";
                description += " (ODBC driver \"" + driver + "\"; DZ_ODBC_DRIVER names another)";
                break;
            }
        throw OdbcError(classify(diags, Phase::connect), description);
    }
    connected_ = true;

    std::vector<std::pair<int, ino_t>> fresh;
    for (const auto& s : openSockets())
        if (!before.count(s) && isConnectedTcp(s.first, port)) fresh.push_back(s);
    if (fresh.size() == 1) {
        fd_ = fresh[0].first;
        inode_ = fresh[0].second;
    }
    lastUsed = std::chrono::steady_clock::now();
}

Session::~Session() {
    if (dbc_ == SQL_NULL_HDBC) return;
    if (spare_ != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, spare_);
    if (connected_) SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
}

SQLHSTMT Session::takeStatement() {
    SQLHSTMT h = spare_;
    spare_ = SQL_NULL_HSTMT;
    return h;
}

void Session::keepStatement(SQLHSTMT h) {
    if (spare_ != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, spare_);
    spare_ = h;
}

bool Session::knownDead() const {
    SQLUINTEGER dead = SQL_CD_FALSE;
    return SQL_SUCCEEDED(SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) && dead == SQL_CD_TRUE;
}

bool Session::alive() const {
    if (knownDead()) return false;
    if (fd_ < 0) return true;
    struct stat st;
    // The driver closed its socket (the descriptor is gone or reused).
    if (fstat(fd_, &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_ino != inode_) return false;
    pollfd p{fd_, POLLIN | POLLRDHUP, 0};
    int n = poll(&p, 1, 0);
    if (n < 0) return true;  // cannot tell; let the call find out
    return n == 0;           // readable, hung up or in error: the peer is gone
}

namespace {

// The calls being watched, and the one thread that cuts them; made on first
// use and never destroyed (calls may still run when the process ends).
struct Watchdog {
    struct Call {
        std::chrono::steady_clock::time_point deadline;
        int fd;
        ino_t inode;
        bool fired = false;
    };
    std::mutex mu;
    std::condition_variable cv;
    std::map<uint64_t, Call> calls;
    uint64_t next = 1;

    Watchdog() { std::thread([this] { loop(); }).detach(); }

    void loop() {
        std::unique_lock lock(mu);
        for (;;) {
            auto now = std::chrono::steady_clock::now();
            auto wake = now + std::chrono::hours(1);
            for (auto& [id, c] : calls) {
                if (c.fired) continue;
                if (c.deadline <= now) {
                    // Still the connection's socket: the driver has not closed it.
                    struct stat st;
                    if (fstat(c.fd, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == c.inode) ::shutdown(c.fd, SHUT_RDWR);
                    c.fired = true;
                } else {
                    wake = std::min(wake, c.deadline);
                }
            }
            cv.wait_until(lock, wake);
        }
    }

    static Watchdog& instance() {
        static Watchdog* w = new Watchdog;
        return *w;
    }
};

}  // namespace

std::chrono::milliseconds CallWatch::grace(int timeout) {
    // Half the time-out, at most 2 s: always before FreeTDS's own second wait ends.
    return std::chrono::milliseconds(std::min<long long>(2000, timeout * 500LL));
}

CallWatch::CallWatch(const Session& session, int timeout) {
    if (timeout <= 0 || session.socket() < 0) return;
    Watchdog& w = Watchdog::instance();
    std::lock_guard lock(w.mu);
    id_ = w.next++;
    w.calls[id_] = {std::chrono::steady_clock::now() + std::chrono::seconds(timeout) + grace(timeout), session.socket(),
                    session.socketInode()};
    w.cv.notify_one();
}

bool CallWatch::end() {
    if (!id_) return false;
    Watchdog& w = Watchdog::instance();
    std::lock_guard lock(w.mu);
    bool fired = w.calls[id_].fired;
    w.calls.erase(id_);
    id_ = 0;
    return fired;
}

CallWatch::~CallWatch() { end(); }

std::unique_ptr<Session> Pool::take(const std::string& key) {
    std::vector<std::unique_ptr<Session>> dead;  // closed outside the lock
    std::unique_ptr<Session> found;
    {
        std::lock_guard lock(mu_);
        auto it = idle_.find(key);
        if (it == idle_.end()) return nullptr;
        auto& list = it->second;
        auto now = std::chrono::steady_clock::now();
        while (!list.empty()) {
            std::unique_ptr<Session> s = std::move(list.back());
            list.pop_back();
            if (now - s->lastUsed > kMaxIdleTime) {
                dead.push_back(std::move(s));
                continue;
            }
            if (!s->alive()) {
                ++stats_.replaced;
                dead.push_back(std::move(s));
                continue;
            }
            found = std::move(s);
            ++stats_.reused;
            break;
        }
        if (list.empty()) idle_.erase(it);
    }
    return found;
}

void Pool::give(const std::string& key, std::unique_ptr<Session> s) {
    std::unique_ptr<Session> surplus;
    s->lastUsed = std::chrono::steady_clock::now();
    std::lock_guard lock(mu_);
    auto& list = idle_[key];
    list.push_back(std::move(s));
    if (list.size() > kMaxIdlePerKey) {
        surplus = std::move(list.front());
        list.erase(list.begin());
    }
}

void Pool::clear() {
    std::map<std::string, std::vector<std::unique_ptr<Session>>> old;
    std::lock_guard lock(mu_);
    old.swap(idle_);
}

size_t Pool::idle() const {
    std::lock_guard lock(mu_);
    size_t n = 0;
    for (const auto& [k, v] : idle_) n += v.size();
    return n;
}

PoolStats Pool::stats() const {
    std::lock_guard lock(mu_);
    return stats_;
}

void Pool::count(uint64_t PoolStats::*field) {
    std::lock_guard lock(mu_);
    ++(stats_.*field);
}

}  // namespace dz::db::odbc
