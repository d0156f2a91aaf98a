// How every interface runs one of the Tester's methods.
#pragma once

#include <cstdint>
#include <type_traits>

#include "component/Tester.h"
#include "platform/com/variant.h"

namespace dz::binding {

inline int32_t statusOf(int32_t status) { return status; }
inline int32_t statusOf(const com::Variant& status) { return int32_t(status.toInteger()); }

// Runs `f` (one method of `tester`) on the Tester's own thread only: from any
// other thread it throws com::Error and does nothing. A business method's
// status (f's result) is noted in the Tester's state.
template <typename F>
auto runMethod(Tester& tester, bool business, F&& f) -> decltype(f()) {
    tester.checkThread();
    if constexpr (!std::is_void_v<decltype(f())>) {
        if (business) {
            tester.beginCall();
            auto result = f();
            tester.endCall(statusOf(result));
            return result;
        }
    }
    return f();
}

}  // namespace dz::binding
