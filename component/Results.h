// Small helpers of the result and unit-info workers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "component/Context.h"
#include "platform/com/variant.h"
#include "platform/db/db.h"

namespace dz::results {

// The machine-wide file that keeps the oldest result whose upload failed on
// the network (later ones sit beside it, numbered):
// /var/lib/dezozevo/DEZozevo_Resend.xml, or $DEZOZEVO_RESEND_FILE when that
// is set (tests).
std::string resendFilePath(const Settings& settings);

// Every apostrophe doubled: the text as the content of one SQL string literal.
std::string doubleApostrophes(std::string_view s);

// The status of a generation-20 worker's failure: the procedure's "RETURN"
// value when the command was built and holds one other than 0, else 9999.
int32_t returnOr9999(const std::optional<db::Command>& cmd);

// A per-thread object that start-up may have left absent.
template <typename T>
T& need(const std::shared_ptr<T>& p) {
    if (!p) throw com::Error("Object variable or With block variable not set");
    return *p;
}

}  // namespace dz::results
