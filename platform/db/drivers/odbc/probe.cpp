// Why an encrypted login failed, when the ODBC driver does not say: FreeTDS
// reports a refused encryption and a certificate that does not verify alike
// ("connection failed"). A bare pre-login, which carries nothing secret,
// tells whether the server offers encryption at all.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "platform/db/drivers/odbc/odbc.h"

namespace dz::db::odbc {

namespace {

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    int fd() const { return fd_; }

private:
    int fd_;
};

using Clock = std::chrono::steady_clock;

bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        int rc = ::poll(&p, 1, int(left));
        if (rc < 0 && errno == EINTR) continue;
        return rc > 0;
    }
}

}  // namespace

std::optional<int> preloginEncryption(const std::string& host, int port, int seconds) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0) return std::nullopt;
    std::optional<int> answer;
    for (addrinfo* a = res; a && !answer; a = a->ai_next) {
        Socket s(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
        if (s.fd() < 0) continue;
        if (::connect(s.fd(), a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) continue;
        if (!waitFor(s.fd(), POLLOUT, deadline)) break;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(s.fd(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) continue;
        // Options VERSION (6 bytes at 11) and ENCRYPTION (1 byte at 17), then their data: encryption on.
        const unsigned char packet[] = {0x12, 0x01, 0x00, 26,   0x00, 0x00, 0x01, 0x00,  // header
                                        0x00, 0x00, 11,   0x00, 6,                       // VERSION
                                        0x01, 0x00, 17,   0x00, 1,                       // ENCRYPTION
                                        0xFF,                                            // terminator
                                        0,    0,    0,    0,    0,    0,    0x01};
        const std::string out(reinterpret_cast<const char*>(packet), sizeof packet);
        if (::send(s.fd(), out.data(), out.size(), MSG_NOSIGNAL) != ssize_t(out.size())) continue;
        std::string in;
        char buf[4096];
        while (in.size() < 8 || in.size() < size_t((uint8_t(in[2]) << 8) | uint8_t(in[3]))) {
            if (!waitFor(s.fd(), POLLIN, deadline)) break;
            ssize_t n = ::recv(s.fd(), buf, sizeof buf, 0);
            if (n <= 0) break;
            in.append(buf, size_t(n));
        }
        if (in.size() < 8 || uint8_t(in[0]) != 0x04) continue;
        size_t total = std::min(in.size(), size_t((uint8_t(in[2]) << 8) | uint8_t(in[3])));
        std::string body = in.substr(8, total > 8 ? total - 8 : 0);
        for (size_t i = 0; i + 5 <= body.size() && uint8_t(body[i]) != 0xFF; i += 5) {
            size_t off = (uint8_t(body[i + 1]) << 8) | uint8_t(body[i + 2]);
            size_t n = (uint8_t(body[i + 3]) << 8) | uint8_t(body[i + 4]);
            if (uint8_t(body[i]) == 0x01 && n >= 1 && off < body.size()) answer = uint8_t(body[off]);
        }
        if (!answer) answer = 2;  // no ENCRYPTION option: none offered
    }
    freeaddrinfo(res);
    return answer;
}

}  // namespace dz::db::odbc
