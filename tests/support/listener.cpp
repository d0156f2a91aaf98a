#include "support/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>


extern char** environ;

namespace fs = std::filesystem;

namespace dz::test {

namespace {

std::string simProgram() { return buildDir() + "/dezozevo-sim"; }

pid_t spawn(const std::vector<std::string>& args, int* stdoutFd) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 1);
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

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Whether `fd` has bytes or an end to read before `until`.
bool readable(int fd, Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    return left > 0 && poll(&p, 1, int(left)) > 0;
}

// One line of the child's output, waiting at most `seconds`.
std::string readLine(int fd, double seconds) {
    std::string line;
    const auto until = after(seconds);
    for (char c; readable(fd, until) && read(fd, &c, 1) == 1 && c != '\n';) line += c;
    return line;
}

// Reaps the child, killing it when it has not ended within `seconds`.
void reap(pid_t pid, double seconds) {
    for (const auto until = after(seconds); waitpid(pid, nullptr, WNOHANG) == 0;) {
        if (Clock::now() > until) kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

std::string buildDir() {
    if (const char* d = std::getenv("DZ_BUILD_DIR"); d && *d) return d;
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return exe.parent_path().parent_path().string();
}

SimListener::SimListener(const std::string& dbPath, int port, const std::vector<std::string>& options) {
    std::vector<std::string> args{simProgram(), "serve", dbPath, "--port", std::to_string(port)};
    args.insert(args.end(), options.begin(), options.end());
    if (std::getenv("DZ_TDS_TRACE")) args.push_back("--trace");
    pid_ = spawn(args, &out_);
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
        reap(pid_, 10);
        pid_ = -1;
    }
    if (out_ >= 0) {
        close(out_);
        out_ = -1;
    }
}

RawClient::RawClient(const std::string& host, int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    if (fd_ < 0 || ::connect(fd_, (sockaddr*)&a, sizeof a) != 0) {
        if (fd_ >= 0) close(fd_);
        throw std::runtime_error("cannot connect to " + host);
    }
}

RawClient::~RawClient() { close(fd_); }

bool RawClient::send(uint8_t type, const std::string& body, bool last) {
    size_t pos = 0;
    do {
        size_t n = std::min<size_t>(4088, body.size() - pos);
        bool end = last && pos + n == body.size();
        std::string packet{char(type), char(end ? 1 : 0), char((n + 8) >> 8), char((n + 8) & 0xFF), 0, 0, 1, 0};
        packet.append(body, pos, n);
        if (::send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL) != ssize_t(packet.size())) return false;
        pos += n;
    } while (pos < body.size());
    return true;
}

bool RawClient::write(const std::string& bytes, bool thenEnd) {
    bool ok = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    if (thenEnd) ::shutdown(fd_, SHUT_WR);
    return ok;
}

std::string RawClient::reply(double seconds) {
    std::string body;
    const auto until = after(seconds);
    auto read = [&](char* buf, size_t n) {
        for (size_t got = 0; got < n;) {
            const ssize_t r = readable(fd_, until) ? recv(fd_, buf + got, n - got, 0) : 0;
            if (r <= 0) return false;
            got += size_t(r);
        }
        return true;
    };
    for (;;) {
        char h[8];
        if (!read(h, 8)) return "";
        size_t len = (size_t(uint8_t(h[2])) << 8) | uint8_t(h[3]);
        std::string part(len - 8, '\0');
        if (!read(part.data(), part.size())) return "";
        body += part;
        if (h[1] & 1) return body;
    }
}

bool RawClient::closedWithin(double seconds) {
    const auto until = after(seconds);
    for (char buf[4096]; readable(fd_, until);)
        if (recv(fd_, buf, sizeof buf, 0) <= 0) return true;
    return false;
}

bool RawClient::preLogin() {
    return send(0x12, std::string("\x00\x00\x06\x00\x06\xFF\x0F\x00\x07\xD0\x00\x00", 12)) && !reply().empty();
}

bool RawClient::login(const std::string& user, const std::string& password, const std::string& database,
                      std::string* reply) {
    if (!preLogin()) return false;
    auto ucs2 = [](const std::string& s) {
        std::string o;
        for (char c : s) o += c, o += '\0';
        return o;
    };
    std::string pw;
    for (char c : ucs2(password)) {
        uint8_t b = uint8_t(c);
        pw += char(uint8_t((b << 4) | (b >> 4)) ^ 0xA5);
    }
    std::vector<std::string> fields{ucs2("test"), ucs2(user), pw, ucs2("raw"), "", "", "", "", ucs2(database)};
    std::string header(94, '\0'), data;
    auto put = [&](size_t at, uint32_t v, int n) {
        for (int i = 0; i < n; ++i) header[at + i] = char(v >> (8 * i));
    };
    put(4, 0x74000004, 4);
    put(8, 4096, 4);
    for (size_t i = 0; i < fields.size(); ++i) {
        put(36 + 4 * i, uint32_t(94 + data.size()), 2);
        put(38 + 4 * i, uint32_t(fields[i].size() / 2), 2);
        data += fields[i];
    }
    put(0, uint32_t(header.size() + data.size()), 4);
    if (!send(0x10, header + data)) return false;
    std::string r = this->reply();
    if (reply) *reply = r;
    return r.find('\xAD') != std::string::npos;  // the login acknowledgement
}

void SimListener::pause() {
    if (kill(pid_, SIGSTOP) != 0) throw std::runtime_error("cannot stop the listener");
    const auto until = after(5);
    auto allStopped = [this] {
        std::error_code ec;
        for (fs::directory_iterator it("/proc/" + std::to_string(pid_) + "/task", ec), end; !ec && it != end;
             it.increment(ec)) {
            std::ifstream stat(it->path() / "stat");
            std::string line;
            std::getline(stat, line);
            auto paren = line.rfind(')');  // the state follows the command name
            if (paren == std::string::npos || paren + 2 >= line.size() || line[paren + 2] != 'T') return false;
        }
        return true;
    };
    while (!allStopped()) {
        if (Clock::now() > until) throw std::runtime_error("the listener did not stop");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void SimListener::resume() { kill(pid_, SIGCONT); }

// The entries of a folder under /proc/<pid>.
static size_t entries(pid_t pid, const char* folder) {
    std::error_code ec;
    size_t n = 0;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/" + folder, ec), end; !ec && it != end;
         it.increment(ec))
        ++n;
    return n;
}

size_t openFiles(pid_t pid) { return entries(pid, "fd"); }
size_t threads(pid_t pid) { return entries(pid, "task"); }

}  // namespace dz::test
