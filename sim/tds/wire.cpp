// Packets, strings and tokens of the listener.
#include "sim/tds/wire.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/text.h"
#include "sim/tds/tls.h"

namespace dz::sim::tds {

std::string ucs2(std::string_view utf8) { return text::toUtf16le(utf8); }

std::string fromUcs2(std::string_view bytes) { return text::fromUtf16le(bytes); }

std::string fromCp1252(std::string_view bytes) { return text::cp1252ToUtf8(bytes); }

std::string toCp1252(std::string_view utf8) { return text::utf8ToCp1252(utf8); }

void Writer::bVarchar(std::string_view utf8) {
    std::string b = ucs2(utf8);
    if (b.size() > 510) b.resize(510);
    u8(uint8_t(b.size() / 2));
    bytes(b);
}

void Writer::usVarchar(std::string_view utf8) {
    std::string b = ucs2(utf8);
    if (b.size() > 131070) b.resize(131070);
    u16(uint16_t(b.size() / 2));
    bytes(b);
}

void Writer::done(uint8_t token, uint16_t status, uint64_t rows, uint16_t curCmd) {
    u8(token);
    u16(status);
    u16(curCmd);
    u64(rows);
}

void Writer::message(uint8_t token, int32_t number, uint8_t state, uint8_t severity, std::string_view text,
                     std::string_view server, std::string_view proc, uint32_t line) {
    Writer body;
    body.u32(uint32_t(number));
    body.u8(state);
    body.u8(severity);
    body.usVarchar(text);
    body.bVarchar(server);
    body.bVarchar(proc);
    body.u32(line);
    u8(token);
    u16(uint16_t(body.data().size()));
    bytes(body.data());
}

void Writer::envChange(uint8_t type, std::string_view newValue, std::string_view oldValue) {
    Writer body;
    body.u8(type);
    body.bVarchar(newValue);
    body.bVarchar(oldValue);
    u8(kEnvChange);
    u16(uint16_t(body.data().size()));
    bytes(body.data());
}

void Writer::envChangeBytes(uint8_t type, std::string_view newValue, std::string_view oldValue) {
    Writer body;
    body.u8(type);
    body.u8(uint8_t(newValue.size()));
    body.bytes(newValue);
    body.u8(uint8_t(oldValue.size()));
    body.bytes(oldValue);
    u8(kEnvChange);
    u16(uint16_t(body.data().size()));
    bytes(body.data());
}

Channel::Channel(int fd) : fd_(fd) {}
Channel::~Channel() = default;

bool Channel::startTls(const TlsContext& context, const std::string& first) {
    auto tls = std::make_unique<TlsSession>(context, fd_);
    std::string in = first;
    for (;;) {
        std::string out;
        bool done = tls->handshake(in, out);
        if (!out.empty() && !send(kPrelogin, out)) return false;
        if (done) break;
        uint8_t type = 0;
        if (!receive(type, in)) return false;
        if (type != kPrelogin) throw ProtocolError("expected the TLS handshake");
    }
    tls_ = std::move(tls);
    return true;
}

void Channel::stopTls() { tls_.reset(); }

bool Channel::readFully(char* buf, size_t n) {
    size_t got = 0;
    while (got < n && tls_) {
        long r = tls_->read(buf + got, n - got, deadline_);
        if (r <= 0) return false;
        got += size_t(r);
    }
    while (got < n) {
        if (deadline_) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - std::chrono::steady_clock::now());
            if (left.count() <= 0) throw ProtocolError("the client sent nothing in time");
            pollfd p{fd_, POLLIN, 0};
            int rc = ::poll(&p, 1, int(std::min<long long>(left.count(), 60000)));
            if (rc < 0 && errno != EINTR) return false;
            if (rc <= 0) continue;
        }
        ssize_t r = ::recv(fd_, buf + got, n - got, 0);
        if (r == 0) return false;
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        got += size_t(r);
    }
    return true;
}

bool Channel::receive(uint8_t& type, std::string& body) {
    body.clear();
    bool first = true;
    for (;;) {
        char header[8];
        if (!readFully(header, 8)) return false;
        uint8_t t = uint8_t(header[0]);
        uint8_t status = uint8_t(header[1]);
        size_t len = (size_t(uint8_t(header[2])) << 8) | uint8_t(header[3]);
        if (len < 8) throw ProtocolError("packet shorter than its header");
        if (first) type = t;
        first = false;
        size_t at = body.size();
        if (at + len - 8 > limit_)
            throw ProtocolError("message larger than " + std::to_string(limit_) + " bytes");
        body.resize(at + len - 8);
        if (len > 8 && !readFully(body.data() + at, len - 8)) return false;
        if (status & 0x01) return true;  // end of message
    }
}

bool Channel::send(uint8_t type, std::string_view body) {
    size_t chunk = packetSize_ > 8 ? packetSize_ - 8 : 4088;
    size_t pos = 0;
    std::string packet;
    do {
        size_t n = std::min(chunk, body.size() - pos);
        bool last = pos + n >= body.size();
        packet.clear();
        packet += char(type);
        packet += char(last ? 0x01 : 0x00);
        size_t len = n + 8;
        packet += char(len >> 8);
        packet += char(len & 0xFF);
        packet += '\0';
        packet += '\0';
        packet += char(packetId_++);
        packet += '\0';
        packet.append(body.substr(pos, n));
        if (!writeAll(packet)) return false;
        pos += n;
    } while (pos < body.size());
    return true;
}

bool Channel::sendUnfinished(uint8_t type, std::string_view body) {
    body = body.substr(0, (packetSize_ > 8 ? packetSize_ - 8 : 4088));
    std::string packet;
    packet += char(type);
    packet += '\0';  // more packets would follow
    packet += char((body.size() + 8) >> 8);
    packet += char((body.size() + 8) & 0xFF);
    packet += '\0';
    packet += '\0';
    packet += char(packetId_++);
    packet += '\0';
    packet.append(body);
    return writeAll(packet);
}

bool Channel::writeAll(std::string_view data) {
    if (tls_) return tls_->write(data, kSendTimeout);
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t r = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        sent += size_t(r);
    }
    return true;
}

}  // namespace dz::sim::tds
