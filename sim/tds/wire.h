// TDS 7.4 on the wire: packets, little-endian fields, UCS-2 strings, and
// the tokens the listener writes.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace dz::sim::tds {

// Packet types.
enum PacketType : uint8_t {
    kSqlBatch = 0x01,
    kRpc = 0x03,
    kReply = 0x04,
    kAttention = 0x06,
    kTransaction = 0x0E,
    kLogin7 = 0x10,
    kPrelogin = 0x12,
};

// Tokens.
enum Token : uint8_t {
    kReturnStatus = 0x79,
    kColMetadata = 0x81,
    kError = 0xAA,
    kInfo = 0xAB,
    kReturnValue = 0xAC,
    kLoginAck = 0xAD,
    kRow = 0xD1,
    kEnvChange = 0xE3,
    kDone = 0xFD,
    kDoneProc = 0xFE,
    kDoneInProc = 0xFF,
};

enum DoneStatus : uint16_t {
    kDoneFinal = 0x00,
    kDoneMore = 0x01,
    kDoneError = 0x02,
    kDoneCount = 0x10,
    kDoneAttn = 0x20,
};

// A malformed message from the client: a request is answered with an error,
// a malformed packet or login closes the connection.
class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// UTF-8 <-> UCS-2 little-endian bytes.
std::string ucs2(std::string_view utf8);
std::string fromUcs2(std::string_view bytes);
// Windows-1252 bytes <-> UTF-8 (unmappable characters become "?").
std::string fromCp1252(std::string_view bytes);
std::string toCp1252(std::string_view utf8);

// Reads fields from a message body; throws ProtocolError past its end.
class Reader {
public:
    explicit Reader(std::string_view data) : d_(data) {}
    size_t pos() const { return p_; }
    size_t left() const { return d_.size() - p_; }
    bool done() const { return p_ >= d_.size(); }
    void seek(size_t p) {
        if (p > d_.size()) throw ProtocolError("offset past the end of the message");
        p_ = p;
    }

    uint8_t u8() { return uint8_t(take(1)[0]); }
    uint8_t peek() const {
        if (p_ >= d_.size()) throw ProtocolError("message ends too early");
        return uint8_t(d_[p_]);
    }
    uint16_t u16() { return uint16_t(le(2)); }
    uint32_t u32() { return uint32_t(le(4)); }
    uint64_t u64() { return le(8); }
    uint16_t u16be() {
        std::string_view b = take(2);
        return uint16_t((uint8_t(b[0]) << 8) | uint8_t(b[1]));
    }
    std::string_view take(size_t n) {
        if (n > left()) throw ProtocolError("message ends too early");
        std::string_view v = d_.substr(p_, n);
        p_ += n;
        return v;
    }
    std::string bVarchar() { return fromUcs2(take(size_t(u8()) * 2)); }
    std::string usVarchar() { return fromUcs2(take(size_t(u16()) * 2)); }

private:
    uint64_t le(size_t n) {
        std::string_view b = take(n);
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v |= uint64_t(uint8_t(b[i])) << (8 * i);
        return v;
    }
    std::string_view d_;
    size_t p_ = 0;
};

// Builds a message body.
class Writer {
public:
    std::string& data() { return d_; }
    void u8(uint8_t v) { d_ += char(v); }
    void u16(uint16_t v) { le(v, 2); }
    void u32(uint32_t v) { le(v, 4); }
    void u64(uint64_t v) { le(v, 8); }
    void u16be(uint16_t v) {
        d_ += char(v >> 8);
        d_ += char(v & 0xFF);
    }
    void bytes(std::string_view b) { d_.append(b); }
    // Length-prefixed UCS-2: character count in one byte / two bytes.
    void bVarchar(std::string_view utf8);
    void usVarchar(std::string_view utf8);

    // Tokens.
    void done(uint8_t token, uint16_t status, uint64_t rows = 0, uint16_t curCmd = 0xC1);
    void message(uint8_t token, int32_t number, uint8_t state, uint8_t severity, std::string_view text,
                 std::string_view server, std::string_view proc = "", uint32_t line = 1);
    void envChange(uint8_t type, std::string_view newValue, std::string_view oldValue);
    void envChangeBytes(uint8_t type, std::string_view newValue, std::string_view oldValue);
    void returnStatus(int32_t v) {
        u8(kReturnStatus);
        u32(uint32_t(v));
    }

private:
    void le(uint64_t v, size_t n) {
        for (size_t i = 0; i < n; ++i) d_ += char((v >> (8 * i)) & 0xFF);
    }
    std::string d_;
};

// The connection's server collation, SQL_Latin1_General_CP1_CI_AS.
inline const std::string kCollation("\x09\x04\xD0\x00\x34", 5);

class TlsContext;
class TlsSession;

// Blocking packet I/O on a socket, in the clear or through TLS.
class Channel {
public:
    // The limit of a logged-in connection's messages.
    static constexpr size_t kMessageLimit = size_t(64) << 20;
    // A client that does not read its answers for this long is cut off.
    static constexpr std::chrono::seconds kSendTimeout{120};

    explicit Channel(int fd);
    ~Channel();
    int fd() const { return fd_; }

    // The TLS handshake, carried in pre-login packets; `first` is the body of
    // the client's first one. From then on the channel is encrypted. False
    // when the client went away; throws ProtocolError for a failed handshake.
    bool startTls(const TlsContext& context, const std::string& first);
    // Back to the clear (a client that encrypts only its login).
    void stopTls();
    bool encrypted() const { return tls_ != nullptr; }
    void setPacketSize(size_t n) { packetSize_ = n; }
    size_t packetSize() const { return packetSize_; }
    // The largest message receive() takes; a larger one is a protocol error.
    void setLimit(size_t bytes) { limit_ = bytes; }
    // receive() fails with a protocol error once this time has passed
    // (none: it waits as long as the client takes).
    void setDeadline(std::optional<std::chrono::steady_clock::time_point> at) { deadline_ = at; }

    // One whole message (all its packets); false at the end of the stream.
    // `type` is the type of its first packet. An attention packet is a
    // message of its own.
    bool receive(uint8_t& type, std::string& body);
    // Sends `body` as a reply, split into packets of the negotiated size.
    // False when the socket is gone.
    bool send(uint8_t type, std::string_view body);
    // Sends `body` (at most a packet) as a packet that does not end its
    // message: an answer broken off on purpose.
    bool sendUnfinished(uint8_t type, std::string_view body);

private:
    bool readFully(char* buf, size_t n);
    bool writeAll(std::string_view data);
    int fd_;
    std::unique_ptr<TlsSession> tls_;
    size_t packetSize_ = 4096;
    size_t limit_ = kMessageLimit;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    uint8_t packetId_ = 1;
};

}  // namespace dz::sim::tds
