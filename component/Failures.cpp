#include "component/Failures.h"

#include "platform/db/db.h"
#include "platform/text.h"

namespace dz {

int32_t statusOfText(std::string_view msg) {
    if (text::ifind(msg, "access denied") != std::string_view::npos) return 9001;
    if (text::ifind(msg, "General network error") != std::string_view::npos) return 9002;
    if (text::ifind(msg, "Timeout expired") != std::string_view::npos) return 9003;
    return 9999;
}

int32_t statusOf(const std::exception& failure) {
    if (const auto* e = dynamic_cast<const db::Error*>(&failure)) {
        switch (e->kind()) {
        case db::FailureKind::NoServer: return 9001;
        case db::FailureKind::Network: return 9002;
        case db::FailureKind::Timeout: return 9003;
        case db::FailureKind::Unknown: break;
        }
    }
    return statusOfText(failure.what());
}

}  // namespace dz
