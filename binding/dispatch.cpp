#include "binding/dispatch.h"

#include <exception>
#include <limits>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "component/Tester.h"
#include "binding/call.h"
#include "binding/methods.h"
#include "platform/text.h"

namespace dz::com {

namespace {

// One argument's storage during a call; the method sees the member of its type.
struct Slot {
    std::string text;
    int32_t i32 = 0;
    uint8_t u8 = 0;
    Variant var;
};

using Call = Variant (*)(Tester&, std::vector<Slot>&);

struct Entry {
    MethodSpec spec;
    Call call;
};

// The slot a parameter of type P reads; a by-value text is moved out of it.
template <typename P>
decltype(auto) slotFor(Slot& s) {
    using T = std::remove_cvref_t<P>;
    if constexpr (std::is_same_v<T, std::string>) {
        if constexpr (std::is_lvalue_reference_v<P>)
            return (s.text);
        else
            return std::move(s.text);
    } else if constexpr (std::is_same_v<T, int32_t>) {
        return (s.i32);
    } else if constexpr (std::is_same_v<T, uint8_t>) {
        return (s.u8);
    } else {
        static_assert(std::is_same_v<T, Variant>);
        return (s.var);
    }
}

Variant resultOf(int32_t status) { return Variant((long long)status); }
Variant resultOf(std::string text) { return Variant(std::move(text)); }
Variant resultOf(bool b) { return Variant(b); }

// Calls the member function M with the slots as its arguments, in order.
template <auto M>
struct Caller;
template <typename R, typename... P, R (Tester::*M)(P...)>
struct Caller<M> {
    static constexpr size_t arity = sizeof...(P);
    static Variant call(Tester& t, std::vector<Slot>& a) {
        return [&]<size_t... I>(std::index_sequence<I...>) {
            if constexpr (std::is_void_v<R>) {
                (t.*M)(slotFor<P>(a[I])...);
                return Variant();
            } else {
                return resultOf((t.*M)(slotFor<P>(a[I])...));
            }
        }(std::index_sequence_for<P...>{});
    }
};

#define DZ_SPEC_ARG(dir, type, name) ArgSpec{#name, ArgType::type, DZ_BYREF_##dir, DZ_OPTIONAL_##dir}
#define DZ_BYREF_In false
#define DZ_BYREF_Opt false
#define DZ_BYREF_Out true
#define DZ_BYREF_Ref true
#define DZ_OPTIONAL_In false
#define DZ_OPTIONAL_Opt true
#define DZ_OPTIONAL_Out true
#define DZ_OPTIONAL_Ref false
#define DZ_COUNT_ARG(dir, type, name) +1
#define DZ_METHOD(name, result, kind, ...)                                                                  \
    static_assert(Caller<&Tester::name>::arity == 0 DZ_FOR_EACH(DZ_COUNT_ARG, __VA_ARGS__),                \
                  #name " has the arguments its list says");                                               \
    entries.push_back({{#name, ResultType::result, std::string_view(#kind) == "Business",                   \
                        {DZ_FOR_EACH_COMMA(DZ_SPEC_ARG, __VA_ARGS__)}},                                      \
                       &Caller<&Tester::name>::call});

const std::vector<Entry>& table() {
    static const std::vector<Entry> t = [] {
        std::vector<Entry> entries;
#include "binding/methods.def"
        return entries;
    }();
    return t;
}

#undef DZ_METHOD

const Entry* findEntry(std::string_view name) {
    for (const Entry& e : table())
        if (text::iequals(e.spec.name, name)) return &e;
    return nullptr;
}

// A short, printable form of a value for error messages.
std::string shown(const Variant& v) {
    if (v.isNull()) return "Null";
    if (v.isEmpty()) return "Empty";
    if (v.isObject()) return "an object";
    std::string s;
    try {
        s = v.toText();
    } catch (const std::exception&) {
        return "the value";
    }
    if (text::utf8Length(s) > 40) {
        size_t cut = 0;
        for (int n = 0; cut < s.size() && n < 40; ++n)
            for (++cut; cut < s.size() && ((unsigned char)s[cut] & 0xC0) == 0x80;) ++cut;
        s = s.substr(0, cut) + "...";
    }
    return v.isText() ? "\"" + s + "\"" : s;
}

void convert(const MethodSpec& m, const ArgSpec& a, const Variant& v, Slot& slot) {
    auto bad = [&](const std::string& why) {
        return CallError(CallError::BadArgument, std::string("Argument ") + a.name + " of " + m.name + ": " +
                                                     why + " (" + shown(v) + " for " + typeName(a.type) + ")");
    };
    try {
        switch (a.type) {
            case ArgType::Text: slot.text = v.toText(); break;
            case ArgType::Variant: slot.var = v; break;
            case ArgType::Int32: {
                const long long n = v.toInteger();
                if (n < std::numeric_limits<int32_t>::min() || n > std::numeric_limits<int32_t>::max())
                    throw Error("Overflow");
                slot.i32 = (int32_t)n;
                break;
            }
            case ArgType::UInt8: {
                const long long n = v.toInteger();
                if (n < 0 || n > 255) throw Error("Overflow");
                slot.u8 = (uint8_t)n;
                break;
            }
        }
    } catch (const std::exception& e) {
        throw bad(e.what());
    }
}

// The slot is spent: a text is moved out, not copied.
Variant valueOf(const ArgSpec& a, Slot& s) {
    switch (a.type) {
        case ArgType::Text: return Variant(std::move(s.text));
        case ArgType::Int32: return Variant((long long)s.i32);
        case ArgType::UInt8: return Variant((long long)s.u8);
        case ArgType::Variant: return s.var;
    }
    return Variant();
}

}  // namespace

const std::vector<MethodSpec>& methods() {
    static const std::vector<MethodSpec> specs = [] {
        std::vector<MethodSpec> v;
        for (const Entry& e : table()) v.push_back(e.spec);
        return v;
    }();
    return specs;
}

const MethodSpec* findMethod(std::string_view name) {
    for (const MethodSpec& m : methods())
        if (text::iequals(m.name, name)) return &m;
    return nullptr;
}

const char* typeName(ArgType t) {
    switch (t) {
        case ArgType::Text: return "text";
        case ArgType::Int32: return "int32";
        case ArgType::UInt8: return "uint8";
        case ArgType::Variant: return "variant";
    }
    return "?";
}

const char* typeName(ResultType t) {
    switch (t) {
        case ResultType::None: return "none";
        case ResultType::Int32: return "int32";
        case ResultType::Text: return "text";
        case ResultType::Bool: return "boolean";
    }
    return "?";
}

Invocation invoke(Tester& tester, std::string_view method, const std::vector<Argument>& args) {
    const Entry* e = findEntry(method);
    if (!e) throw CallError(CallError::UnknownMethod, "Unknown method: " + std::string(method));
    const MethodSpec& m = e->spec;
    const size_t n = m.args.size();

    // Which argument each passed value fills.
    std::vector<std::optional<size_t>> given(n);  // index into args
    size_t next = 0;
    bool sawNamed = false;
    for (size_t i = 0; i < args.size(); ++i) {
        size_t k = n;
        if (args[i].name.empty()) {
            if (sawNamed)
                throw CallError(CallError::BadArgument,
                                std::string("A positional argument of ") + m.name + " follows a named one");
            if (next >= n)
                throw CallError(CallError::BadArgument, std::string(m.name) + " takes " + std::to_string(n) +
                                                            " argument" + (n == 1 ? "" : "s") + ", " +
                                                            std::to_string(args.size()) + " given");
            k = next++;
        } else {
            sawNamed = true;
            for (k = 0; k < n && !text::iequals(m.args[k].name, args[i].name); ++k) {
            }
            if (k == n)
                throw CallError(CallError::UnknownArgument,
                                std::string(m.name) + " has no argument " + args[i].name);
            if (given[k])
                throw CallError(CallError::BadArgument,
                                std::string("Argument ") + m.args[k].name + " of " + m.name + " is given twice");
        }
        given[k] = i;
    }

    std::vector<Slot> slots(n);
    for (size_t k = 0; k < n; ++k) {
        const ArgSpec& a = m.args[k];
        if (given[k])
            convert(m, a, args[*given[k]].value, slots[k]);
        else if (!a.optional)
            throw CallError(CallError::MissingArgument,
                            std::string("Argument ") + a.name + " of " + m.name + " is missing");
    }

    Invocation out;
    out.method = &m;
    try {
        out.result = binding::runMethod(tester, m.business, [&] { return e->call(tester, slots); });
    } catch (const Error&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw Error("Out of memory");
    } catch (const std::exception& x) {
        throw Error(x.what());
    } catch (...) {
        throw Error(std::string(m.name) + " failed");
    }
    for (size_t k = 0; k < n; ++k)
        if (m.args[k].byRef) out.args.push_back({m.args[k].name, valueOf(m.args[k], slots[k])});
    return out;
}

}  // namespace dz::com
