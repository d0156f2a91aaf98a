// Decoding the client's messages.
#include "sim/tds/messages.h"

#include <iterator>

namespace dz::sim::tds {

namespace {

void skipHeaders(Reader& r) {
    uint32_t total = r.u32();
    if (total < 4 || total - 4 > r.left()) throw ProtocolError("bad ALL_HEADERS length");
    r.take(total - 4);
}

}  // namespace

uint8_t readPrelogin(std::string_view body) {
    Reader r(body);
    uint8_t encryption = 0;
    while (!r.done()) {
        uint8_t token = r.u8();
        if (token == 0xFF) break;
        uint16_t off = r.u16be(), len = r.u16be();
        if (size_t(off) + len > body.size()) throw ProtocolError("pre-login option past the end");
        if (token == 0x01 && len >= 1) encryption = uint8_t(body[off]);
    }
    return encryption;
}

Login readLogin(std::string_view body) {
    Reader r(body);
    Login l;
    r.u32();  // length
    l.version = r.u32();
    l.packetSize = r.u32();
    r.take(12);  // client version, process, connection
    r.u8();
    uint8_t flags2 = r.u8();
    l.integratedSecurity = flags2 & 0x80;
    r.take(2 + 8);
    auto field = [&](bool bytes = false) {
        uint16_t off = r.u16(), len = r.u16();
        size_t n = size_t(len) * 2;
        if (size_t(off) + n > body.size()) throw ProtocolError("login field past the end");
        std::string_view raw = body.substr(off, n);
        return bytes ? std::string(raw) : fromUcs2(raw);
    };
    l.host = field();
    l.user = field();
    std::string rawPassword = field(true);
    l.app = field();
    l.serverName = field();
    field();  // extension
    field();  // client library
    l.language = field();
    l.database = field();
    for (char& c : rawPassword) {
        uint8_t b = uint8_t(c) ^ 0xA5;
        c = char(((b & 0x0F) << 4) | (b >> 4));
    }
    l.password = fromUcs2(rawPassword);
    return l;
}

std::string readBatch(std::string_view body) {
    Reader r(body);
    skipHeaders(r);
    return fromUcs2(r.take(r.left()));
}

std::vector<RpcCall> readRpc(std::string_view body) {
    static const char* const kIds[] = {"",
                                       "sp_cursor",
                                       "sp_cursoropen",
                                       "sp_cursorprepare",
                                       "sp_cursorexecute",
                                       "sp_cursorprepexec",
                                       "sp_cursorunprepare",
                                       "sp_cursorfetch",
                                       "sp_cursoroption",
                                       "sp_cursorclose",
                                       "sp_executesql",
                                       "sp_prepare",
                                       "sp_execute",
                                       "sp_prepexec",
                                       "sp_prepexecrpc",
                                       "sp_unprepare"};
    Reader r(body);
    skipHeaders(r);
    std::vector<RpcCall> calls;
    while (!r.done()) {
        RpcCall c;
        uint16_t nameLen = r.u16();
        if (nameLen == 0xFFFF) {
            uint16_t id = r.u16();
            c.name = id < std::size(kIds) ? kIds[id] : "procedure id " + std::to_string(id);
        } else {
            c.name = fromUcs2(r.take(size_t(nameLen) * 2));
        }
        r.u16();  // options
        while (!r.done()) {
            uint8_t b = r.peek();
            if (b == 0x80 || b == 0xFF || b == 0xFE) {  // next call of the batch
                r.u8();
                break;
            }
            RpcParam p;
            p.name = r.bVarchar();
            p.status = r.u8();
            p.type = readTypeInfo(r);
            p.value = readValue(r, p.type);
            c.params.push_back(std::move(p));
        }
        calls.push_back(std::move(c));
    }
    return calls;
}

TransactionRequest readTransaction(std::string_view body) {
    Reader r(body);
    skipHeaders(r);
    TransactionRequest t;
    t.type = r.u16();
    if (t.type == 7 || t.type == 8) {
        if (!r.done()) r.bVarchar();
        t.flags = r.done() ? 0 : r.u8();
    }
    return t;
}

}  // namespace dz::sim::tds
