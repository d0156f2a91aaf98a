// The database client as the component uses it: commands with typed
// parameters, the first record set read forward, output and return values,
// and failures that carry the client's description.
//
//   db::Command cmd;
//   cmd.activeConnection = connectString;
//   cmd.timeout = 60;
//   cmd.text = "uspCheckRouting";
//   cmd.type = db::adCmdStoredProc;
//   cmd.append("@Product", db::adVarChar, db::adParamInput, "SN1");
//   db::Recordset rs = cmd.execute();          // throws db::Error
//   int status = cmd.value("@RETURN_VALUE").toInt32();
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace dz::db {

// Type and direction codes as the database client numbers them.
enum DataType : int {
    adInteger = 3,
    adDouble = 5,
    adDBTimeStamp = 135,
    adVarChar = 200,
    adLongVarChar = 201,
    adVarWChar = 202,
};

enum ParameterDirection : int {
    adParamInput = 1,
    adParamOutput = 2,
    adParamInputOutput = 3,
    adParamReturnValue = 4,
};

enum CommandType : int {
    adCmdText = 1,
    adCmdStoredProc = 4,
};

// A failure of the database client; description() is what workers log and classify.
// What a driver knows about a failure beside its description: the server
// was not reached, the connection broke, or the time-out ran out. Unknown
// leaves it to the description.
enum class FailureKind { Unknown, NoServer, Network, Timeout };

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& description, FailureKind kind = FailureKind::Unknown)
        : std::runtime_error(description), kind_(kind) {}
    std::string description() const { return what(); }
    FailureKind kind() const { return kind_; }

private:
    FailureKind kind_;
};

// A field or parameter value: Null, whole number, floating number, text or boolean.
// Date and time values travel as text "yyyy-mm-dd hh:mm:ss".
class Value {
public:
    using Storage = std::variant<std::monostate, long long, double, std::string, bool>;

    Value() = default;  // Null
    Value(std::nullptr_t) {}
    Value(int v) : v_((long long)v) {}
    Value(long v) : v_((long long)v) {}
    Value(long long v) : v_(v) {}
    Value(double v) : v_(v) {}
    Value(bool v) : v_(v) {}
    Value(std::string v) : v_(std::move(v)) {}
    Value(std::string_view v) : v_(std::string(v)) {}
    Value(const char* v) : v_(std::string(v)) {}

    bool isNull() const { return std::holds_alternative<std::monostate>(v_); }
    bool isInteger() const { return std::holds_alternative<long long>(v_); }
    bool isDouble() const { return std::holds_alternative<double>(v_); }
    bool isText() const { return std::holds_alternative<std::string>(v_); }
    bool isBool() const { return std::holds_alternative<bool>(v_); }
    const Storage& raw() const { return v_; }

    // Conversions as the client makes them; Null or an unconvertible value throws Error.
    std::string toText() const;  // integers in decimal, doubles shortest (15 digits), booleans "True"/"False"
    int32_t toInt32() const;     // text is parsed (blanks allowed around it); fractions round half to even
    double toDouble() const;

    bool operator==(const Value& o) const { return v_ == o.v_; }

private:
    Storage v_;
};

struct Parameter {
    std::string name;
    DataType type = adVarChar;
    ParameterDirection direction = adParamInput;
    long size = 0;  // characters for text types
    Value value;    // Null unless set
};

// The first record set of an execution, held client-side: read forward,
// fields by name (case-insensitive) or by position, sortable.
class Recordset {
public:
    Recordset() = default;  // closed, no record set
    Recordset(std::vector<std::string> columns, std::vector<std::vector<Value>> rows);

    bool isOpen() const { return open_; }
    void close() { open_ = false; }

    // With forward reading BOF is only true on an empty record set.
    bool bof() const;
    bool eof() const;
    void moveNext();  // throws Error at the end or at a planted failure

    size_t fieldCount() const;
    const std::vector<std::string>& columns() const { return columns_; }
    const std::vector<std::vector<Value>>& rows() const { return rows_; }
    bool hasField(std::string_view name) const;
    const Value& field(std::string_view name) const;  // current row; throws Error
    const Value& field(size_t index) const;
    // The position of a field by name (case-insensitive); throws Error when there is none.
    size_t index(std::string_view name) const;

    // Client-side sort, e.g. "GName ASC, ID DESC"; Nulls sort first; stable.
    void sort(std::string_view spec);

    // Makes the move onto row `row` fail with `description` (a connection
    // lost half way through a result, as a network driver reports it).
    void failAt(size_t row, std::string description);

private:
    void requireOpen() const;

    std::vector<std::string> columns_;
    std::vector<std::vector<Value>> rows_;
    size_t pos_ = 0;
    bool open_ = false;
    std::optional<std::pair<size_t, std::string>> failAt_;
};

// How the client reaches a real server, from the site's INI file; every
// value as written there, "" when not set. The SQL Server driver checks
// and translates them for the ODBC driver it uses.
struct ClientOptions {
    std::string driver;                  // ODBC driver name or library path
    std::string encrypt;                 // no, optional, mandatory (yes) or strict
    std::string trustServerCertificate;  // yes or no
    std::string caFile;                  // PEM file of the authorities to trust
    std::string hostNameInCertificate;   // the name the server's certificate carries
    std::string loginTimeout;            // seconds
    bool operator==(const ClientOptions&) const = default;
};

// One diagnostic record of the database client: SQLSTATE, the native error
// number and the message as the client gave it.
struct Diagnostic {
    std::string state;
    long native = 0;
    std::string message;
};

// The records of the client's failures on this thread since the last take:
// a driver notes them as it fails, the component takes them per call.
void noteDiagnostics(const std::vector<Diagnostic>& records);
std::vector<Diagnostic> takeDiagnostics();

class Command {
public:
    std::string activeConnection;
    ClientOptions client;
    int timeout = 30;  // seconds; 0 means no limit
    std::string text;
    CommandType type = adCmdText;
    bool namedParameters = false;

    // Appends a parameter; the size of a text input defaults to its length in characters.
    Parameter& append(std::string name, DataType type, ParameterDirection dir, Value value = {},
                      std::optional<long> size = std::nullopt);
    std::vector<Parameter>& parameters() { return params_; }
    const std::vector<Parameter>& parameters() const { return params_; }

    // A parameter's value after execution, by name (case-insensitive). The
    // return status is always readable as "@RETURN_VALUE", declared or not.
    Value value(std::string_view name) const;

    // Runs the command on the driver that the connection string selects and
    // returns its first record set (closed when it returned none).
    Recordset execute();

private:
    std::vector<Parameter> params_;
    Value returnValue_;
};

// Parsed connection string: "Provider=...;Password=...;User ID=...;
// Initial Catalog=...;Data Source=...;Network Library=...;". Keys match
// without regard to case; a value may contain ";" (split only before a known
// key) or be quoted with "..." or {...}.
struct ConnectionInfo {
    std::string provider, password, userId, initialCatalog, dataSource, networkLibrary;
    std::map<std::string, std::string> all;  // every key, lower-cased, with its value

    static ConnectionInfo parse(std::string_view cs);
};

}  // namespace dz::db
