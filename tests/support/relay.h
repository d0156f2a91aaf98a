// A TCP relay on loopback that forwards every connection to a target and
// keeps every byte it passed, both ways: what a wire tap would see.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dz::test {

class Relay {
public:
    // Throws std::runtime_error when it cannot listen.
    Relay(const std::string& host, int port);
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    std::string dataSource() const { return "127.0.0.1," + std::to_string(port_); }
    std::string seen() const;  // all bytes passed so far, both directions

private:
    void acceptLoop();
    void pump(int client);

    std::string host_;
    int targetPort_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    mutable std::mutex mu_;
    std::vector<std::thread> pumps_;
    std::vector<int> sockets_;
    std::string seen_;
};

}  // namespace dz::test
