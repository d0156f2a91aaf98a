// Parsing a connection string ("Provider=...;Data Source=...").
#include "platform/db/db.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        dz::db::ConnectionInfo::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const dz::db::Error&) {
    }
    return 0;
}
