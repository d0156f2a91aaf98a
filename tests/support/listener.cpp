#include "support/listener.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>


extern char** environ;

namespace fs = std::filesystem;

namespace dz::test {

namespace {

std::string simProgram() { return buildDir() + "/dezozevo-sim"; }

pid_t spawn(const std::vector<std::string>& args, int* stdoutFd, bool quiet) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 1);
    if (quiet) posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(pipeFds[1]);
    if (rc != 0) {
        close(pipeFds[0]);
        throw std::runtime_error("cannot start " + args[0]);
    }
    *stdoutFd = pipeFds[0];
    return pid;
}

// One line of the child's output, waiting at most `seconds`.
std::string readLine(int fd, double seconds) {
    std::string line;
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
        if (poll(&p, 1, std::max(left, 1)) <= 0) continue;
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n <= 0) break;
        if (c == '\n') return line;
        line += c;
    }
    return line;
}

int waitFor(pid_t pid, double seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    while (std::chrono::steady_clock::now() < until) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return status;
}

}  // namespace

std::string buildDir() {
    if (const char* d = std::getenv("DZ_BUILD_DIR"); d && *d) return d;
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return exe.parent_path().parent_path().string();
}

SimListener::SimListener(const std::string& dbPath, int port) {
    std::vector<std::string> args{simProgram(), "serve", dbPath, "--port", std::to_string(port)};
    if (std::getenv("DZ_TDS_TRACE")) args.push_back("--trace");
    pid_ = spawn(args, &out_, false);
    std::string line = readLine(out_, 20);
    const std::string prefix = "listening on ";
    size_t colon = line.rfind(':');
    if (line.rfind(prefix, 0) != 0 || colon == std::string::npos) {
        stop();
        throw std::runtime_error("the listener did not come up: \"" + line + "\"");
    }
    host_ = line.substr(prefix.size(), colon - prefix.size());
    port_ = std::stoi(line.substr(colon + 1));
}

SimListener::~SimListener() { stop(); }

void SimListener::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitFor(pid_, 10);
        pid_ = -1;
    }
    if (out_ >= 0) {
        close(out_);
        out_ = -1;
    }
}

}  // namespace dz::test
