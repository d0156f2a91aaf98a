// TLS for the listener: the server's certificate and key, and one
// connection's TLS session. The handshake travels inside pre-login packets
// (the channel carries them); after it the records go straight over the
// socket.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace dz::sim::tds {

class TlsContext {
public:
    // Loads a PEM certificate (with its chain) and its private key; throws
    // std::runtime_error naming the file that is wrong.
    TlsContext(const std::string& certFile, const std::string& keyFile);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;
    SSL_CTX* get() const { return ctx_; }

private:
    SSL_CTX* ctx_ = nullptr;
};

class TlsSession {
public:
    TlsSession(const TlsContext& context, int fd);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // One step of the handshake: `in` is what the client sent, `out` gets
    // what goes back. True once the handshake is done; the session then
    // reads and writes the socket itself. Throws ProtocolError.
    bool handshake(std::string_view in, std::string& out);

    // Reads up to `n` bytes: their count, 0 at the end of the stream, -1 on
    // a failure. Throws ProtocolError once `deadline` has passed.
    long read(char* buf, size_t n, std::optional<std::chrono::steady_clock::time_point> deadline);
    // Writes all of `data`; false when the socket is gone or the client
    // takes nothing for `sendTimeout`. Safe beside a read on another thread.
    bool write(std::string_view data, std::chrono::seconds sendTimeout);

private:
    std::mutex mu_;  // a read and a write of two threads never run in OpenSSL at once
    SSL* ssl_ = nullptr;
    int fd_;
    bool direct_ = false;
    int flags_ = 0;  // the socket's flags before the session made it non-blocking
};

}  // namespace dz::sim::tds
