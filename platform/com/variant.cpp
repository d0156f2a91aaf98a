#include "platform/com/variant.h"

#include "platform/text.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace dz::com {

namespace {
[[noreturn]] void nullUse() { throw Error("Invalid use of Null"); }
[[noreturn]] void mismatch() { throw Error("Type mismatch"); }
}  // namespace

std::string Variant::toText() const {
    struct V {
        std::string operator()(const Empty&) const { return ""; }
        std::string operator()(const Null&) const { nullUse(); }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(long long n) const { return std::to_string(n); }
        std::string operator()(double d) const { return text::formatNumber(d); }
        std::string operator()(bool b) const { return b ? "True" : "False"; }
        std::string operator()(const Object&) const { mismatch(); }
    };
    return std::visit(V{}, v_);
}

long long Variant::toInteger() const {
    struct V {
        long long operator()(const Empty&) const { return 0; }
        long long operator()(const Null&) const { nullUse(); }
        long long operator()(const std::string& s) const {
            const char* b = s.c_str();
            char* end = nullptr;
            errno = 0;
            long long n = std::strtoll(b, &end, 10);
            while (end && (*end == ' ' || *end == '\t')) ++end;
            if (end == b || !end || *end != '\0' || errno == ERANGE) mismatch();
            return n;
        }
        long long operator()(long long n) const { return n; }
        long long operator()(double d) const {
            if (!std::isfinite(d) || std::fabs(d) > 9.2e18) throw Error("Overflow");
            return std::llrint(d);
        }
        long long operator()(bool b) const { return b ? -1 : 0; }
        long long operator()(const Object&) const { mismatch(); }
    };
    return std::visit(V{}, v_);
}

bool Variant::toBool() const {
    if (const auto* s = std::get_if<std::string>(&v_)) {
        if (*s == "True" || *s == "true" || *s == "TRUE") return true;
        if (*s == "False" || *s == "false" || *s == "FALSE") return false;
    }
    if (const auto* b = std::get_if<bool>(&v_)) return *b;
    return toInteger() != 0;
}

}  // namespace dz::com
