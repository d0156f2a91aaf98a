// Calls by name: the table of every public method of Tester (made from
// binding/methods.def), and invoke(), which takes a method name with named or positional arguments as
// variants and hands back the result and the by-reference arguments after the call.
// Method and argument names match without regard to case.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/com/variant.h"

namespace dz {
class Tester;
}

namespace dz::com {

enum class ArgType {
    Text,     // UTF-8 text; numbers and booleans are converted to text
    Int32,    // signed 32-bit whole number; text is parsed
    UInt8,    // unsigned 8-bit whole number; text is parsed
    Variant,  // passed on as it is
};

enum class ResultType { None, Int32, Text, Bool };

struct ArgSpec {
    const char* name;
    ArgType type;
    bool byRef;
    bool optional;  // an omitted optional argument is the empty text (0 for a number)
};

struct MethodSpec {
    const char* name;
    ResultType result;
    bool business;              // returns a status that the Tester's state notes
    std::vector<ArgSpec> args;  // in call order
};

// The public methods of Tester, in interface order.
const std::vector<MethodSpec>& methods();
// The method of that name (any case), or nullptr.
const MethodSpec* findMethod(std::string_view name);

const char* typeName(ArgType t);     // "text", "int32", "uint8", "variant"
const char* typeName(ResultType t);  // "none", "int32", "text", "boolean"

// A bad call by name, found before the method runs: the Tester is not touched.
class CallError : public Error {
public:
    enum Kind { UnknownMethod, UnknownArgument, MissingArgument, BadArgument };
    CallError(Kind kind, const std::string& description) : Error(description), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

struct Argument {
    std::string name;  // empty for a positional argument
    Variant value;
};

struct Invocation {
    const MethodSpec* method = nullptr;
    Variant result;  // Empty for a method without result
    // Every by-reference argument (an omitted output too), in the method's
    // order, with its value after the call converted to its type. By-value arguments are
    // not handed back: a 20 MB result would only travel twice.
    std::vector<Argument> args;
};

// Calls `method` on `tester`. Positional arguments come first, named ones
// after them. Throws CallError for an unknown method or argument, a missing
// required argument, an argument given twice, too many arguments or a value
// that does not convert; a failure of the method itself (a call from another
// thread, FileExists, GetErrMessage) comes out as Error with its description.
Invocation invoke(Tester& tester, std::string_view method, const std::vector<Argument>& args);

}  // namespace dz::com
