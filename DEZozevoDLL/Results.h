// Small helpers of the result and unit-info workers.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/com/variant.h"

namespace dz::results {

// The machine-wide file that keeps one result whose upload failed on the
// network: /var/lib/dezozevo/DEZozevo_Resend.xml, or $DEZOZEVO_RESEND_FILE
// when that is set (tests).
std::string resendFilePath();

// Every apostrophe doubled: the text as the content of one SQL string literal.
std::string doubleApostrophes(std::string_view s);

// The local date and time now, "yyyy-mm-dd hh:mm:ss".
std::string localTimeText();

// A per-thread object that start-up may have left absent.
template <typename T>
T& need(const std::shared_ptr<T>& p) {
    if (!p) throw com::Error("Object variable or With block variable not set");
    return *p;
}

}  // namespace dz::results
