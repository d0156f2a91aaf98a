#include "sim/tds/tls.h"

#include <fcntl.h>
#include <poll.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <stdexcept>

#include "sim/tds/wire.h"

namespace dz::sim::tds {

namespace {

std::string lastError() {
    unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (!e) return "unknown TLS error";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

// Waits for the socket; false when `ms` passed first.
bool waitFor(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    for (;;) {
        int rc = ::poll(&p, 1, ms);
        if (rc < 0 && errno == EINTR) continue;
        return rc != 0;
    }
}

}  // namespace

TlsContext::TlsContext(const std::string& certFile, const std::string& keyFile) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_) throw std::runtime_error("TLS: " + lastError());
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    // No session tickets: nothing may follow the handshake's last packet,
    // since a client that encrypts only its login drops TLS right after it.
    SSL_CTX_set_num_tickets(ctx_, 0);
    SSL_CTX_set_options(ctx_, SSL_OP_NO_TICKET);
    SSL_CTX_set_mode(ctx_, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(ctx_, certFile.c_str()) != 1) {
        std::string why = lastError();
        SSL_CTX_free(ctx_);
        throw std::runtime_error("cannot use the certificate " + certFile + ": " + why);
    }
    if (SSL_CTX_use_PrivateKey_file(ctx_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx_) != 1) {
        std::string why = lastError();
        SSL_CTX_free(ctx_);
        throw std::runtime_error("cannot use the key " + keyFile + " with " + certFile + ": " + why);
    }
}

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

TlsSession::TlsSession(const TlsContext& context, int fd) : fd_(fd) {
    ssl_ = SSL_new(context.get());
    if (!ssl_) throw ProtocolError("TLS: " + lastError());
    // TLS 1.2 at most inside pre-login packets, as SQL Server: with 1.3 the
    // client's last handshake message comes after the server's, and FreeTDS
    // then sends it only together with its login.
    SSL_set_max_proto_version(ssl_, TLS1_2_VERSION);
    SSL_set_bio(ssl_, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_accept_state(ssl_);
}

TlsSession::~TlsSession() {
    SSL_free(ssl_);
    // The socket goes on in the clear, blocking as before.
    if (direct_) ::fcntl(fd_, F_SETFL, flags_);
}

bool TlsSession::handshake(std::string_view in, std::string& out) {
    if (!in.empty() && BIO_write(SSL_get_rbio(ssl_), in.data(), int(in.size())) != int(in.size()))
        throw ProtocolError("TLS: " + lastError());
    int rc = SSL_do_handshake(ssl_);
    BIO* w = SSL_get_wbio(ssl_);
    char buf[16384];
    for (int n; (n = BIO_read(w, buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    if (rc != 1) {
        int err = SSL_get_error(ssl_, rc);
        if (err == SSL_ERROR_WANT_READ) return false;
        throw ProtocolError("TLS handshake failed: " + lastError());
    }
    if (BIO_ctrl_pending(SSL_get_rbio(ssl_)) > 0) throw ProtocolError("data after the TLS handshake");
    flags_ = ::fcntl(fd_, F_GETFL);
    ::fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK);
    SSL_set_fd(ssl_, fd_);
    direct_ = true;
    return true;
}

long TlsSession::read(char* buf, size_t n, std::optional<std::chrono::steady_clock::time_point> deadline) {
    for (;;) {
        int err;
        {
            std::lock_guard lock(mu_);
            size_t got = 0;
            if (SSL_read_ex(ssl_, buf, n, &got) == 1) return long(got);
            err = SSL_get_error(ssl_, 0);
            ERR_clear_error();
        }
        if (err == SSL_ERROR_ZERO_RETURN) return 0;
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) return -1;
        int ms = 60000;
        if (deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) throw ProtocolError("the client sent nothing in time");
            ms = int(std::min<long long>(left.count(), 60000));
        }
        waitFor(fd_, err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, ms);
    }
}

bool TlsSession::write(std::string_view data, std::chrono::seconds sendTimeout) {
    size_t done = 0;
    while (done < data.size()) {
        int err;
        {
            std::lock_guard lock(mu_);
            size_t wrote = 0;
            if (SSL_write_ex(ssl_, data.data() + done, data.size() - done, &wrote) == 1) {
                done += wrote;
                continue;
            }
            err = SSL_get_error(ssl_, 0);
            ERR_clear_error();
        }
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) return false;
        if (!waitFor(fd_, err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT,
                     int(std::chrono::milliseconds(sendTimeout).count())))
            return false;
    }
    return true;
}

}  // namespace dz::sim::tds
