// One open ODBC connection, and the pool that keeps them per connection
// string between calls.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/db/drivers/odbc/odbc.h"

namespace dz::db::odbc {

// The process's ODBC environment (ODBC 3), created on first use.
SQLHENV environment();

class Session {
public:
    // Logs in; throws OdbcError (unreachable, timeout, login or server).
    // `port` (0 when not known) tells the connection's socket apart.
    Session(const std::string& connectionString, int loginTimeout, const std::string& user, int port = 0);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    SQLHDBC handle() const { return dbc_; }
    const std::string& user() const { return user_; }

    // False when the connection is known to be closed: the driver says so,
    // or its socket has been closed by the peer or has unread bytes while
    // idle (an idle TDS connection receives nothing).
    bool alive() const;
    // The driver knows the connection is broken (after a failed read or write).
    bool knownDead() const;

    std::chrono::steady_clock::time_point lastUsed;

    // The statement handle of the last call that ended cleanly, closed and
    // without parameters, for the next call; null when there is none.
    SQLHSTMT takeStatement();
    void keepStatement(SQLHSTMT h);

    // The connection's socket (-1 when it could not be told apart), and its inode.
    int socket() const { return fd_; }
    ino_t socketInode() const { return inode_; }

private:
    SQLHDBC dbc_ = SQL_NULL_HDBC;
    SQLHSTMT spare_ = SQL_NULL_HSTMT;
    bool connected_ = false;
    std::string user_;
    int fd_ = -1;       // the connection's socket, when it could be told apart
    ino_t inode_ = 0;
};

// Bounds a call against a server that stops answering. FreeTDS answers its
// time-out by sending a cancel and then waits as long again for the server
// to confirm it; a server that answers nothing would hold the call for twice
// its time-out. The watchdog shuts the connection's socket down a little
// after the time-out instead (the call then fails, and is a time-out).
class CallWatch {
public:
    // Watches a call of `timeout` seconds (0: none) on `session`.
    CallWatch(const Session& session, int timeout);
    ~CallWatch();
    CallWatch(const CallWatch&) = delete;
    CallWatch& operator=(const CallWatch&) = delete;
    // Ends the watch; true when it cut the socket.
    bool end();

    // How long after its time-out a silent call is cut.
    static std::chrono::milliseconds grace(int timeout);

private:
    uint64_t id_ = 0;
};

class Pool {
public:
    // An idle connection of that string when one is alive (dead ones are
    // closed and counted), else nullptr.
    std::unique_ptr<Session> take(const std::string& key);
    // Keeps a connection that finished its call cleanly.
    void give(const std::string& key, std::unique_ptr<Session> s);
    void clear();
    size_t idle() const;

    PoolStats stats() const;
    void count(uint64_t PoolStats::*field);

private:
    static constexpr size_t kMaxIdlePerKey = 8;
    static constexpr std::chrono::seconds kMaxIdleTime{300};

    mutable std::mutex mu_;
    std::map<std::string, std::vector<std::unique_ptr<Session>>> idle_;
    PoolStats stats_;
};

}  // namespace dz::db::odbc
