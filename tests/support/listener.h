// The simulator's TDS listener for end-to-end tests: `dezozevo-sim serve
// PATH --port N` on loopback, started and stopped by the test.
#pragma once

#include <sys/types.h>

#include <string>

namespace dz::test {

// $DZ_BUILD_DIR (set by CTest), else the build folder above the test program.
std::string buildDir();

class SimListener {
public:
    // Serves `dbPath`; port 0 picks a free one. Throws std::runtime_error
    // when the listener does not come up.
    explicit SimListener(const std::string& dbPath, int port = 0);
    ~SimListener();
    SimListener(const SimListener&) = delete;
    SimListener& operator=(const SimListener&) = delete;

    const std::string& host() const { return host_; }
    int port() const { return port_; }
    std::string dataSource() const { return host_ + "," + std::to_string(port_); }

    // Ends the listener (its open connections go with it).
    void stop();

private:
    std::string host_;
    int port_ = 0;
    pid_t pid_ = -1;
    int out_ = -1;
};

}  // namespace dz::test
