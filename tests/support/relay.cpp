#include "support/relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace dz::test {

Relay::Relay(const std::string& host, int port) : host_(host), targetPort_(port) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listenFd_ < 0 || bind(listenFd_, (sockaddr*)&a, sizeof a) != 0 || listen(listenFd_, 16) != 0 ||
        getsockname(listenFd_, (sockaddr*)&a, &len) != 0)
        throw std::runtime_error("the relay cannot listen");
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

Relay::~Relay() {
    stopping_ = true;
    shutdown(listenFd_, SHUT_RDWR);
    acceptor_.join();
    close(listenFd_);
    {
        std::lock_guard lock(mu_);
        for (int fd : sockets_) shutdown(fd, SHUT_RDWR);
    }
    for (auto& t : pumps_) t.join();
    for (int fd : sockets_) close(fd);
}

std::string Relay::seen() const {
    std::lock_guard lock(mu_);
    return seen_;
}

void Relay::acceptLoop() {
    for (;;) {
        int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        std::lock_guard lock(mu_);
        if (stopping_) {
            close(client);
            return;
        }
        sockets_.push_back(client);
        pumps_.emplace_back([this, client] { pump(client); });
    }
}

void Relay::pump(int client) {
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(targetPort_));
    inet_pton(AF_INET, host_.c_str(), &a.sin_addr);
    {
        std::lock_guard lock(mu_);
        sockets_.push_back(server);
    }
    if (connect(server, (sockaddr*)&a, sizeof a) != 0) {
        shutdown(client, SHUT_RDWR);
        return;
    }
    pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    char buf[16384];
    while (poll(p, 2, 200) >= 0 && !stopping_) {
        for (int i = 0; i < 2; ++i) {
            if (!p[i].revents) continue;
            ssize_t n = recv(p[i].fd, buf, sizeof buf, 0);
            if (n <= 0) {
                shutdown(p[1 - i].fd, SHUT_RDWR);
                return;
            }
            {
                std::lock_guard lock(mu_);
                seen_.append(buf, size_t(n));
            }
            for (ssize_t done = 0; done < n;) {
                ssize_t w = send(p[1 - i].fd, buf + done, size_t(n - done), MSG_NOSIGNAL);
                if (w <= 0) return;
                done += w;
            }
        }
    }
}

}  // namespace dz::test
