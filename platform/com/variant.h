// The value type of calls by name and of SaveResult's argument: Empty, Null,
// text, whole number, floating number, boolean or an object reference.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>

namespace dz::com {

// A failure that reaches the caller of a method, with its description
// (the component's FileExists and GetErrMessage, a wrong thread, bad arguments).
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& description) : std::runtime_error(description) {}
    std::string description() const { return what(); }
};

struct Empty {
    bool operator==(const Empty&) const = default;
};
struct Null {
    bool operator==(const Null&) const = default;
};
struct Object {
    std::shared_ptr<void> ref;
    std::string typeName;
    bool operator==(const Object& o) const { return ref == o.ref; }
};

class Variant {
public:
    using Storage = std::variant<Empty, Null, std::string, long long, double, bool, Object>;

    Variant() = default;
    Variant(Null n) : v_(n) {}
    Variant(std::string s) : v_(std::move(s)) {}
    Variant(const char* s) : v_(std::string(s)) {}
    Variant(int n) : v_((long long)n) {}
    Variant(long long n) : v_(n) {}
    Variant(double d) : v_(d) {}
    Variant(bool b) : v_(b) {}
    Variant(Object o) : v_(std::move(o)) {}

    bool isEmpty() const { return std::holds_alternative<Empty>(v_); }
    bool isNull() const { return std::holds_alternative<Null>(v_); }
    bool isText() const { return std::holds_alternative<std::string>(v_); }
    bool isObject() const { return std::holds_alternative<Object>(v_); }
    const Storage& raw() const { return v_; }
    Storage& raw() { return v_; }

    // Conversion to text as the component's callers expect it: Empty gives "",
    // numbers in decimal, booleans "True"/"False"; Null and objects throw Error.
    std::string toText() const;
    long long toInteger() const;  // text is parsed; Null and objects throw Error
    bool toBool() const;

    bool operator==(const Variant& o) const { return v_ == o.v_; }

private:
    Storage v_;
};

}  // namespace dz::com
