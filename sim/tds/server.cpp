// The TDS listener: the listening socket, and a session for each client it
// accepts, each on threads of the listener's pool.
#include "sim/tds/server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/sim.h"
#include "sim/tds/session.h"

namespace dz::sim::tds {

namespace {

// A client that does not read its answers for this long is cut off.
constexpr int kSendTimeoutSeconds = 120;

}  // namespace

struct Server::Impl : Listening {
    int listenFd = -1;
    std::thread acceptThread;
    std::mutex mu;
    std::vector<std::weak_ptr<Session>> connections;
    std::atomic<bool> stopping{false};
    bool started = false;

    void acceptLoop();
};

void Server::Impl::acceptLoop() {
    for (;;) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (stopping) return;
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            return;
        }
        // Past the cap a few clients at a time are told so; the rest are cut off.
        bool refused = open.load() >= opt.maxConnections;
        if (refused && refusing.load() >= 16) {
            ::close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval sendTimeout{kSendTimeoutSeconds, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
        std::shared_ptr<Session> c = openSession(*this, fd, refused);
        {
            std::lock_guard lock(mu);
            std::erase_if(connections, [](const std::weak_ptr<Session>& w) { return w.expired(); });
            connections.push_back(c);
        }
        pool.run([c] { c->run(); });
    }
}

Server::Server(ServeOptions options) : impl_(std::make_unique<Impl>()) { impl_->opt = std::move(options); }

Server::~Server() { stop(); }

void Server::start() {
    Impl& s = *impl_;
    if (s.started) throw std::runtime_error("the listener is already running");
    try {
        sim::generation(s.opt.path);
    } catch (const std::exception&) {
        throw std::runtime_error(s.opt.path + " is no simulator database");
    }
    sim::releaseConnections();  // the connections' own threads open the file
    if (s.opt.tlsCert.empty() != s.opt.tlsKey.empty())
        throw std::runtime_error("TLS needs both a certificate and its key");
    if (s.opt.tlsRequire && s.opt.tlsCert.empty()) throw std::runtime_error("requiring TLS needs a certificate");
    if (!s.opt.tlsCert.empty()) s.tls = std::make_shared<TlsContext>(s.opt.tlsCert, s.opt.tlsKey);
    s.tlsRequire = s.opt.tlsRequire;
    if (s.opt.port < 0 || s.opt.port > 65535) throw std::runtime_error("the port must be 0 to 65535");

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* res = nullptr;
    std::string port = std::to_string(s.opt.port);
    int rc = getaddrinfo(s.opt.host.empty() ? nullptr : s.opt.host.c_str(), port.c_str(), &hints, &res);
    if (rc != 0) throw std::runtime_error("cannot resolve " + s.opt.host + ": " + gai_strerror(rc));
    std::string lastError = "no address";
    for (addrinfo* a = res; a; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 128) == 0) {
            s.listenFd = fd;
            break;
        }
        lastError = std::strerror(errno);
        ::close(fd);
    }
    freeaddrinfo(res);
    if (s.listenFd < 0) throw std::runtime_error("cannot listen on " + s.opt.host + ":" + port + ": " + lastError);

    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    getsockname(s.listenFd, (sockaddr*)&addr, &len);
    char buf[INET6_ADDRSTRLEN] = "";
    if (addr.ss_family == AF_INET) {
        auto* in = (sockaddr_in*)&addr;
        inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
        port_ = ntohs(in->sin_port);
    } else {
        auto* in6 = (sockaddr_in6*)&addr;
        inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf);
        port_ = ntohs(in6->sin6_port);
    }
    host_ = buf;
    s.started = true;
    s.acceptThread = std::thread([&s] { s.acceptLoop(); });
}

// Requests that arrived are answered before the connections close, so that
// a client does not take a stored result for a lost one; whatever still
// runs after a few seconds is stopped.
void Server::stop() {
    if (!impl_ || !impl_->started) return;
    Impl& s = *impl_;
    s.started = false;
    s.stopping = true;
    ::shutdown(s.listenFd, SHUT_RDWR);
    if (s.acceptThread.joinable()) s.acceptThread.join();
    ::close(s.listenFd);
    s.listenFd = -1;
    auto each = [&](void (Session::*f)()) {
        std::lock_guard lock(s.mu);
        for (auto& w : s.connections)
            if (auto c = w.lock()) ((*c).*f)();
    };
    each(&Session::drain);
    for (int i = 0; i < 300 && s.open + s.refusing > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    each(&Session::abort);
    {
        std::lock_guard lock(s.mu);
        s.connections.clear();
    }
    s.pool.shutdown();
}

}  // namespace dz::sim::tds
