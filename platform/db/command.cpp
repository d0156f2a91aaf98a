// A command: parameters in order of appending, executed on the driver that
// the connection string's Data Source selects.
#include <utility>

#include "platform/db/driver.h"
#include "platform/text.h"

namespace dz::db {

namespace {

const char* const kNotFound = "Item cannot be found in the collection corresponding to the requested name or ordinal.";
const char* const kNoConnection =
    "The connection cannot be used to perform this operation. It is either closed or invalid in this context.";
const char* const kNoText = "Command text was not set for the command object.";

bool isTextType(DataType t) { return t == adVarChar || t == adLongVarChar || t == adVarWChar; }

const Parameter* returnParameter(const std::vector<Parameter>& params) {
    for (const auto& p : params)
        if (p.direction == adParamReturnValue) return &p;
    return nullptr;
}

// A connection string parsed once per thread: workers use one or two, so
// the few last ones are kept.
const ConnectionInfo& parsedConnection(const std::string& cs) {
    thread_local std::map<std::string, ConnectionInfo> parsed;
    if (auto it = parsed.find(cs); it != parsed.end()) return it->second;
    ConnectionInfo info = ConnectionInfo::parse(cs);  // a malformed one throws and is not kept
    if (parsed.size() >= 16) parsed.clear();
    return parsed.emplace(cs, std::move(info)).first->second;
}

}  // namespace

Parameter& Command::append(std::string name, DataType type, ParameterDirection dir, Value value,
                           std::optional<long> size) {
    Parameter p;
    p.name = std::move(name);
    p.type = type;
    p.direction = dir;
    if (size) p.size = *size;
    else if (isTextType(type) && value.isText()) p.size = text::utf16Length(std::get<std::string>(value.raw()));
    else if (isTextType(type) && !value.isNull()) p.size = text::utf16Length(value.toText());
    p.value = std::move(value);
    params_.push_back(std::move(p));
    return params_.back();
}

Value Command::value(std::string_view name) const {
    for (const auto& p : params_)
        if (text::iequals(p.name, name)) return p.value;
    if (text::iequals(name, "@RETURN_VALUE")) {
        if (const Parameter* r = returnParameter(params_)) return r->value;
        return returnValue_;
    }
    throw Error(kNotFound);
}

// An empty connection string fails as a command without a connection does;
// a malformed one with the parser's format error.
Recordset Command::execute() {
    returnValue_ = Value();
    if (text::trim(activeConnection).empty()) throw Error(kNoConnection);
    if (text::trim(text).empty()) throw Error(kNoText);

    Request req;
    req.connectionString = activeConnection;
    req.connection = parsedConnection(activeConnection);
    req.client = client;
    req.text = text;
    req.type = type;
    req.timeout = timeout;
    req.namedParameters = namedParameters;
    req.parameters = &params_;

    std::shared_ptr<Driver> driver = driverFor(req.connection);
    Response resp = driver->execute(req);

    if (resp.returnValue) {
        returnValue_ = *resp.returnValue;
        for (auto& p : params_)
            if (p.direction == adParamReturnValue) {
                p.value = *resp.returnValue;
                break;
            }
    }
    return std::move(resp.recordset);
}

namespace {

// Enough for the failures of one call; the oldest go first.
constexpr size_t kMaxDiagnostics = 32;

std::vector<Diagnostic>& noted() {
    thread_local std::vector<Diagnostic> records;
    return records;
}

}  // namespace

void noteDiagnostics(const std::vector<Diagnostic>& records) {
    std::vector<Diagnostic>& all = noted();
    all.insert(all.end(), records.begin(), records.end());
    if (all.size() > kMaxDiagnostics) all.erase(all.begin(), all.end() - kMaxDiagnostics);
}

std::vector<Diagnostic> takeDiagnostics() { return std::exchange(noted(), {}); }

}  // namespace dz::db
