// The C++ interface (include/dezozevo/dezozevo.hpp): a thin owner of the
// component's Tester, its methods made from binding/methods.def, that turns
// the component's own errors into dezozevo::Error.
#include <exception>
#include <new>
#include <string_view>

#include "component/Tester.h"
#include "binding/call.h"
#include "binding/drivers.h"
#include "binding/methods.h"
#include "binding/unitcheck.h"
#include "dezozevo/dezozevo.hpp"

namespace dezozevo {

Error::Error(const std::string& description) : std::runtime_error(description) {}
Error::~Error() = default;

struct Tester::Impl {
    dz::Tester tester;
};

namespace {

// Runs `f`, letting only dezozevo::Error and std::bad_alloc out.
template <typename F>
auto guarded(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const Error&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        throw Error(e.what());
    } catch (...) {
        throw Error("Unexpected failure");
    }
}

dz::Tester& of(const std::unique_ptr<Tester::Impl>& impl) {
    if (!impl) throw Error("The Tester was moved from");
    return impl->tester;
}

}  // namespace

Tester::Tester() : impl_((dz::binding::installDrivers(), std::make_unique<Impl>())) {}
Tester::~Tester() = default;
Tester::Tester(Tester&&) noexcept = default;
Tester& Tester::operator=(Tester&&) noexcept = default;

// The eighteen methods, each handed to the component's Tester as it is.
#define DZ_FACADE_PARAM(dir, type, name) DZ_FACADE_##dir##_##type name
#define DZ_FACADE_In_Text const std::string&
#define DZ_FACADE_Opt_Text const std::string&
#define DZ_FACADE_Out_Text std::string&
#define DZ_FACADE_Ref_Text std::string&
#define DZ_FACADE_In_Int32 int32_t
#define DZ_FACADE_Ref_UInt8 uint8_t&
#define DZ_FACADE_In_Variant const std::string&
#define DZ_FACADE_ARG(dir, type, name) name
#define DZ_FACADE_Int32 int32_t
#define DZ_FACADE_Text std::string
#define DZ_FACADE_Bool bool
#define DZ_FACADE_None void
#define DZ_METHOD(name, result, kind, ...)                                                              \
    DZ_FACADE_##result Tester::name(DZ_FOR_EACH_COMMA(DZ_FACADE_PARAM, __VA_ARGS__)) {                    \
        return guarded([&] {                                                                            \
            dz::Tester& t = of(impl_);                                                                  \
            return dz::binding::runMethod(t, std::string_view(#kind) == "Business",                     \
                                          [&] { return t.name(DZ_FOR_EACH_COMMA(DZ_FACADE_ARG, __VA_ARGS__)); }); \
        });                                                                                             \
    }
#include "binding/methods.def"
#undef DZ_METHOD

int32_t Tester::mayTest(const std::string& strUnitSN, const std::string& strStation, std::string& strUnitInfo) {
    return guarded([&] { return dz::unitcheck::mayTest(of(impl_), strUnitSN, strStation, strUnitInfo); });
}

State Tester::state() const {
    return guarded([&] {
        const dz::TesterState s = of(impl_).state();
        State out;
        out.startupStatus = s.startupStatus;
        out.generation = s.generation;
        out.revision = s.revision;
        out.server = s.server;
        out.database = s.database;
        out.station = s.station;
        out.folder = s.folder;
        out.iniFile = s.iniFile;
        out.iniFound = s.iniFound;
        if (s.lastFailure) {
            Failure f{s.lastFailure->status, s.lastFailure->description, {}};
            for (const auto& d : s.lastFailure->diagnostics) f.diagnostics.push_back({d.state, d.native, d.message});
            out.lastFailure = std::move(f);
        }
        out.testId = s.testId;
        out.queue = {s.queue.path, s.queue.kept, s.queue.oldestSeconds, s.queue.rejected};
        return out;
    });
}

int32_t Tester::resend() {
    return guarded([&] {
        dz::Tester& t = of(impl_);
        return dz::binding::runMethod(t, true, [&] { return t.Resend(); });
    });
}

}  // namespace dezozevo
