// One client's connection to the listener: pre-login, login, then its
// requests answered in order through the simulator's engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "sim/tds/pool.h"
#include "sim/tds/server.h"
#include "sim/tds/tls.h"

namespace dz::sim::tds {

// What the sessions of one listener share.
struct Listening {
    ServeOptions opt;
    std::shared_ptr<TlsContext> tls;  // none: the listener offers no encryption
    bool tlsRequire = false;          // a client that will not encrypt is refused
    ThreadPool pool;
    std::atomic<uint16_t> nextSpid{51};
    std::atomic<int> open{0};      // connections served (logging in or logged in)
    std::atomic<int> refusing{0};  // connections being told that the listener is full
};

class Session {
public:
    virtual ~Session() = default;
    // Reads the connection until it ends; its requests are answered on a
    // worker of the listener's pool. Run on a thread of its own.
    virtual void run() = 0;
    // Takes no new request; the ones received are answered, then the
    // connection closes.
    virtual void drain() = 0;
    // Stops a request that is still running and closes the connection.
    virtual void abort() = 0;
};

// A session on the accepted socket `fd`, which it owns and closes. A refused
// session only tells its client that the listener is full.
std::shared_ptr<Session> openSession(Listening& listening, int fd, bool refused);

}  // namespace dz::sim::tds
