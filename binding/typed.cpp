// The typed C functions of include/dezozevo/dezozevo.h, one per method, made
// from binding/methods.def. The header writes them out with their comments;
// each definition here first requires its declaration there, and a
// declaration whose parameters differ from the list conflicts with the
// definition: the library does not build until the two agree.
#include <string_view>
#include <type_traits>

#include "component/Tester.h"
#include "binding/cabi.h"
#include "binding/call.h"
#include "binding/methods.h"
#include "dezozevo/dezozevo.h"

namespace {

std::string text(const char* p) { return p ? std::string(p) : std::string(); }

int missing(const char* function, const char* argument) {
    dz::cabi::clearError();
    return dz::cabi::fail(DZ_E_INVALID_CALL, std::string(function) + " needs a pointer for " + argument);
}

}  // namespace

// Parameters: texts by value as const char*, by-reference texts as char**
// (in/out), numbers as they are, the result through the last pointer.
#define DZ_C_PARAM(dir, type, name) , DZ_C_##dir##_##type name
#define DZ_C_In_Text const char*
#define DZ_C_Opt_Text const char*
#define DZ_C_Out_Text char**
#define DZ_C_Ref_Text char**
#define DZ_C_In_Int32 int32_t
#define DZ_C_Ref_UInt8 uint8_t*
#define DZ_C_In_Variant const char*
#define DZ_C_RESULT_Int32 , int32_t* result
#define DZ_C_RESULT_Text , char** result
#define DZ_C_RESULT_Bool , int32_t* result
#define DZ_C_RESULT_None

// Required pointers: in/out arguments and the result.
#define DZ_C_REQUIRED(dir, type, name) DZ_C_REQUIRED_##dir(name)
#define DZ_C_REQUIRED_In(n)
#define DZ_C_REQUIRED_Opt(n)
#define DZ_C_REQUIRED_Out(n)
#define DZ_C_REQUIRED_Ref(n) \
    if (!n) return missing(fn, #n);
#define DZ_C_REQUIRED_RESULT_Int32 \
    if (!result) return missing(fn, "the result");
#define DZ_C_REQUIRED_RESULT_Text DZ_C_REQUIRED_RESULT_Int32
#define DZ_C_REQUIRED_RESULT_Bool DZ_C_REQUIRED_RESULT_Int32
#define DZ_C_REQUIRED_RESULT_None

// The method's own values: a NULL text is the empty text, a NULL variant Null.
#define DZ_C_LOCAL(dir, type, name) DZ_C_LOCAL_##dir##_##type(name)
#define DZ_C_LOCAL_In_Text(n) std::string n##_ = text(n);
#define DZ_C_LOCAL_Opt_Text(n) std::string n##_ = text(n);
#define DZ_C_LOCAL_Out_Text(n) std::string n##_ = n ? text(*n) : std::string();
#define DZ_C_LOCAL_Ref_Text(n) std::string n##_ = text(*n);
#define DZ_C_LOCAL_In_Int32(n) const int32_t n##_ = n;
#define DZ_C_LOCAL_Ref_UInt8(n) uint8_t n##_ = *n;
#define DZ_C_LOCAL_In_Variant(n) \
    const dz::com::Variant n##_ = n ? dz::com::Variant(std::string(n)) : dz::com::Variant(dz::com::Null{});

#define DZ_C_ARG(dir, type, name) DZ_C_ARG_##dir(name##_)
#define DZ_C_ARG_In(x) std::move(x)
#define DZ_C_ARG_Opt(x) std::move(x)
#define DZ_C_ARG_Out(x) x
#define DZ_C_ARG_Ref(x) x

// The call and its result, copied for the caller before anything is handed out.
#define DZ_C_CALL_Int32(call) const int32_t r = call;
#define DZ_C_CALL_Bool(call) const bool r = call;
#define DZ_C_CALL_Text(call) dz::cabi::Owned r = dz::cabi::copy(call);
#define DZ_C_CALL_None(call) call;
#define DZ_C_STORE_RESULT_Int32 *result = r;
#define DZ_C_STORE_RESULT_Bool *result = r ? 1 : 0;
#define DZ_C_STORE_RESULT_Text *result = r.release();
#define DZ_C_STORE_RESULT_None

// Outputs: copied first, handed out together once nothing can fail.
#define DZ_C_COPY(dir, type, name) DZ_C_COPY_##dir##_##type(name)
#define DZ_C_COPY_In_Text(n)
#define DZ_C_COPY_Opt_Text(n)
#define DZ_C_COPY_In_Int32(n)
#define DZ_C_COPY_In_Variant(n)
#define DZ_C_COPY_Ref_UInt8(n)
#define DZ_C_COPY_Out_Text(n) dz::cabi::Owned n##_out = n ? dz::cabi::copy(n##_) : dz::cabi::Owned();
#define DZ_C_COPY_Ref_Text(n) dz::cabi::Owned n##_out = dz::cabi::copy(n##_);
#define DZ_C_STORE(dir, type, name) DZ_C_STORE_##dir##_##type(name)
#define DZ_C_STORE_In_Text(n)
#define DZ_C_STORE_Opt_Text(n)
#define DZ_C_STORE_In_Int32(n)
#define DZ_C_STORE_In_Variant(n)
#define DZ_C_STORE_Ref_UInt8(n) *n = n##_;
#define DZ_C_STORE_Out_Text(n) \
    if (n) *n = n##_out.release();
#define DZ_C_STORE_Ref_Text(n) *n = n##_out.release();

#define DZ_METHOD(name, result, kind, ...)                                                                  \
    static_assert(std::is_function_v<decltype(::dz_##name)>, "dezozevo.h declares dz_" #name);             \
    extern "C" DZ_API int dz_##name(dz_tester* tester DZ_FOR_EACH(DZ_C_PARAM, __VA_ARGS__)                  \
                                        DZ_C_RESULT_##result) {                                             \
        [[maybe_unused]] static constexpr const char* fn = "dz_" #name;                                    \
        DZ_FOR_EACH(DZ_C_REQUIRED, __VA_ARGS__)                                                             \
        DZ_C_REQUIRED_RESULT_##result                                                                       \
        return dz::cabi::run(tester, [&](dz::Tester& t) {                                                   \
            DZ_FOR_EACH(DZ_C_LOCAL, __VA_ARGS__)                                                            \
            DZ_C_CALL_##result(dz::binding::runMethod(t, std::string_view(#kind) == "Business", [&] {       \
                return t.name(DZ_FOR_EACH_COMMA(DZ_C_ARG, __VA_ARGS__));                                    \
            }))                                                                                             \
            DZ_FOR_EACH(DZ_C_COPY, __VA_ARGS__)                                                             \
            DZ_FOR_EACH(DZ_C_STORE, __VA_ARGS__)                                                            \
            DZ_C_STORE_RESULT_##result                                                                      \
            return DZ_OK;                                                                                   \
        });                                                                                                 \
    }
#include "binding/methods.def"
#undef DZ_METHOD
