// The listener's decoding of what a client sends: packets into messages,
// and messages (pre-login, login, batch, RPC with every parameter type,
// transaction request), with each decoded parameter written back as an
// output value of its own type.
#include "sim/tds/messages.h"

#include <sys/socket.h>
#include <unistd.h>

using namespace dz::sim::tds;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        switch (data[0] % 6) {
        case 0: {  // packets off a socket
            int fds[2];
            if (size > 100000 || socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
            int buf = 1 << 20;
            setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
            (void)!write(fds[0], body.data(), body.size());
            close(fds[0]);
            Channel ch(fds[1]);
            ch.setLimit(64 * 1024);
            uint8_t type;
            std::string message;
            try {
                while (ch.receive(type, message)) {
                }
            } catch (const ProtocolError&) {
            }
            close(fds[1]);
            break;
        }
        case 1: readPrelogin(body); break;
        case 2: readLogin(body); break;
        case 3: readBatch(body); break;
        case 4:
            for (const RpcCall& c : readRpc(body))
                for (const RpcParam& p : c.params) {
                    Writer w;
                    writeTypeInfo(w, p.type);
                    writeValue(w, p.type, p.value);
                    Reader r(w.data());
                    TypeInfo back = readTypeInfo(r);
                    readValue(r, back);
                }
            break;
        case 5: readTransaction(body); break;
        }
    } catch (const ProtocolError&) {
    }
    return 0;
}
