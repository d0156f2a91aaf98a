#include "binding/dispatch.h"

#include <exception>
#include <functional>
#include <limits>
#include <new>
#include <optional>

#include "DEZozevoDLL/Tester.h"
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

using Call = std::function<Variant(Tester&, std::vector<Slot>&)>;

struct Entry {
    MethodSpec spec;
    Call call;
};

constexpr ArgSpec in(const char* n) { return {n, ArgType::Text, false, false}; }
constexpr ArgSpec opt(const char* n) { return {n, ArgType::Text, false, true}; }
constexpr ArgSpec ref(const char* n) { return {n, ArgType::Text, true, false}; }

Variant status(int32_t s) { return Variant((long long)s); }

const std::vector<Entry>& table() {
    using R = ResultType;
    static const std::vector<Entry> t = {
        {{"CheckRoute", R::Int32, {in("strUnitSN"), in("strStation")}},
         [](Tester& x, std::vector<Slot>& a) { return status(x.CheckRoute(a[0].text, a[1].text)); }},
        {{"GetUnitInfo", R::Int32, {in("strRequest"), ref("strUnitInfo"), opt("strStationName"), opt("strUserID")}},
         [](Tester& x, std::vector<Slot>& a) {
             return status(x.GetUnitInfo(a[0].text, a[1].text, a[2].text, a[3].text));
         }},
        {{"GetCalibrationInfo", R::Int32, {ref("strCalibrationInfo"), opt("strStationName"), opt("strFixture")}},
         [](Tester& x, std::vector<Slot>& a) {
             return status(x.GetCalibrationInfo(a[0].text, a[1].text, a[2].text));
         }},
        {{"SaveCalibration", R::Int32, {in("strCalibration")}},
         [](Tester& x, std::vector<Slot>& a) { return status(x.SaveCalibration(a[0].text)); }},
        {{"GetOrderInfo", R::Int32, {ref("strWorkOrderInfo"), opt("strStationName")}},
         [](Tester& x, std::vector<Slot>& a) { return status(x.GetOrderInfo(a[0].text, a[1].text)); }},
        {{"GetOrderInfoByStation", R::Int32, {ref("strWorkOrderInfo"), opt("strStationName")}},
         [](Tester& x, std::vector<Slot>& a) { return status(x.GetOrderInfoByStation(a[0].text, a[1].text)); }},
        {{"GetModelAttributes", R::Int32, {ref("strModelInfo"), in("strPartNumber"), in("strPartRev")}},
         [](Tester& x, std::vector<Slot>& a) {
             return status(x.GetModelAttributes(a[0].text, a[1].text, a[2].text));
         }},
        {{"GetUnitAttributes", R::Int32, {in("strRequest"), ref("strUnitInfo"), opt("strStationName")}},
         [](Tester& x, std::vector<Slot>& a) {
             return status(x.GetUnitAttributes(a[0].text, a[1].text, a[2].text));
         }},
        {{"GetErrMessage", R::Text, {{"nErrCode", ArgType::Int32, false, false}}},
         [](Tester& x, std::vector<Slot>& a) { return Variant(x.GetErrMessage(a[0].i32)); }},
        {{"SaveResult", R::Int32, {{"strXMLResultText", ArgType::Variant, false, false}}},
         [](Tester& x, std::vector<Slot>& a) { return status(x.SaveResult(a[0].var)); }},
        {{"GetLastError", R::Text, {}}, [](Tester& x, std::vector<Slot>&) { return Variant(x.GetLastError()); }},
        {{"GetProfileItem", R::Text,
          {in("strSectionName"), in("strKeyName"), in("strDefaultValue"), in("strIniFile")}},
         [](Tester& x, std::vector<Slot>& a) {
             return Variant(x.GetProfileItem(a[0].text, a[1].text, a[2].text, a[3].text));
         }},
        {{"getStation", R::Text, {}}, [](Tester& x, std::vector<Slot>&) { return Variant(x.getStation()); }},
        {{"FileExists", R::Bool, {ref("Fname")}},
         [](Tester& x, std::vector<Slot>& a) { return Variant(x.FileExists(a[0].text)); }},
        {{"putLog", R::None, {ref("strMsg"), {"nLevel", ArgType::UInt8, true, false}}},
         [](Tester& x, std::vector<Slot>& a) {
             x.putLog(a[0].text, a[1].u8);
             return Variant();
         }},
        {{"CalcErrCode", R::Int32, {ref("strMsg")}},
         [](Tester& x, std::vector<Slot>& a) { return status(x.CalcErrCode(a[0].text)); }},
        {{"GetProductStructure", R::Int32, {in("xmlPart"), ref("xmlProductStructure"), ref("ErrorDescription")}},
         [](Tester& x, std::vector<Slot>& a) {
             return status(x.GetProductStructure(a[0].text, a[1].text, a[2].text));
         }},
        {{"GetGenericFunction", R::Int32, {in("xmlIn"), ref("xmlOut"), ref("ErrorDescription"), opt("FunctionName")}},
         [](Tester& x, std::vector<Slot>& a) {
             return status(x.GetGenericFunction(a[0].text, a[1].text, a[2].text, a[3].text));
         }},
    };
    return t;
}

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
    // A business method's status is noted in the Tester's state; CalcErrCode
    // only classifies a text.
    const bool business = m.result == ResultType::Int32 && !text::iequals(m.name, "CalcErrCode");
    try {
        if (business) tester.beginCall();
        out.result = e->call(tester, slots);
        if (business) tester.endCall(int32_t(out.result.toInteger()));
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
        if (given[k] && m.args[k].byRef) out.args.push_back({m.args[k].name, valueOf(m.args[k], slots[k])});
    return out;
}

}  // namespace dz::com
