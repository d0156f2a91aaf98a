// Decoding the client's messages: pre-login, login, SQL batch, RPC and
// transaction requests. Each throws ProtocolError on a malformed body.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db/db.h"
#include "sim/tds/types.h"
#include "sim/tds/wire.h"

namespace dz::sim::tds {

// The ENCRYPTION option the client asked for (0 when it sent none).
uint8_t readPrelogin(std::string_view body);

struct Login {
    uint32_t version = 0;
    uint32_t packetSize = 0;
    bool integratedSecurity = false;
    std::string host, user, password, app, serverName, language, database;
};
Login readLogin(std::string_view body);

// The statement text of a SQL batch.
std::string readBatch(std::string_view body);

struct RpcParam {
    std::string name;
    uint8_t status = 0;  // 0x01: output
    TypeInfo type;
    db::Value value;
};

struct RpcCall {
    std::string name;  // well-known procedures by id get their names ("sp_executesql")
    std::vector<RpcParam> params;
};
// Every call of an RPC message, in order.
std::vector<RpcCall> readRpc(std::string_view body);

struct TransactionRequest {
    uint16_t type = 0;  // 5 begin, 7 commit, 8 rollback
    uint8_t flags = 0;  // commit or rollback: 1 begins the next one
};
TransactionRequest readTransaction(std::string_view body);

}  // namespace dz::sim::tds
