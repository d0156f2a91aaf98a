// The simulator's TDS listener for end-to-end tests: `dezozevo-sim serve
// PATH --port N` on loopback, started and stopped by the test.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace dz::test {

// $DZ_BUILD_DIR (set by CTest), else the build folder above the test program.
std::string buildDir();

class SimListener {
public:
    // Serves `dbPath`; port 0 picks a free one. Throws std::runtime_error
    // when the listener does not come up.
    explicit SimListener(const std::string& dbPath, int port = 0, const std::vector<std::string>& options = {});
    ~SimListener();
    SimListener(const SimListener&) = delete;
    SimListener& operator=(const SimListener&) = delete;

    const std::string& host() const { return host_; }
    int port() const { return port_; }
    std::string dataSource() const { return host_ + "," + std::to_string(port_); }
    pid_t pid() const { return pid_; }

    // Ends the listener (its open connections go with it).
    void stop();
    // Stops the listener with SIGSTOP and returns once every thread of it is
    // stopped: kill() returns before that, and a request sent in between is
    // still answered. resume() lets it go on.
    void pause();
    void resume();

private:
    std::string host_;
    int port_ = 0;
    pid_t pid_ = -1;
    int out_ = -1;
};

// A bare TDS client: for requests no driver sends, and connections that
// stall or are abandoned.
class RawClient {
public:
    // Throws std::runtime_error when it cannot connect.
    RawClient(const std::string& host, int port);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Sends `body` as a message of `type` in packets of 4 KB; `last` ends it.
    // False once the listener has closed the connection.
    bool send(uint8_t type, const std::string& body, bool last = true);
    // Sends raw bytes; `thenEnd` ends the sending side.
    bool write(const std::string& bytes, bool thenEnd = false);
    // The next reply message, "" when the connection closed or nothing came
    // within `seconds`.
    std::string reply(double seconds = 10);
    // Whether the listener closed the connection within `seconds` (what it
    // sends before is read and dropped).
    bool closedWithin(double seconds);
    // A pre-login without encryption; true when the listener answered it.
    bool preLogin();
    // Pre-login and login; true when the listener acknowledged the login.
    // `reply` receives the answer to the login.
    bool login(const std::string& user, const std::string& password, const std::string& database,
               std::string* reply = nullptr);

private:
    int fd_ = -1;
};

// The number of open descriptors and threads of a process.
size_t openFiles(pid_t pid);
size_t threads(pid_t pid);

}  // namespace dz::test
