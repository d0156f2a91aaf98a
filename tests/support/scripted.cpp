// A driver that answers commands from rules set up by a test.
#include "support/scripted.h"

#include "platform/text.h"

namespace dz::db {

namespace {

const char* const kNoServer = "[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied.";

// What the registry holds: it does not keep the scripted driver alive, so the
// driver unregisters itself when the test drops it.
class Forwarder : public Driver {
public:
    explicit Forwarder(std::weak_ptr<ScriptedDriver> target) : target_(std::move(target)) {}
    Response execute(Request& request) override {
        auto d = target_.lock();
        if (!d) throw Error(kNoServer);
        return d->execute(request);
    }

private:
    std::weak_ptr<ScriptedDriver> target_;
};

std::string lower(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = text::asciiLower(c);
    return r;
}

// "[dbo].[uspX]" and "dbo.uspX" name the procedure "uspX".
std::string procedureName(std::string_view name) {
    std::string r;
    for (char c : name)
        if (c != '[' && c != ']') r += c;
    r = text::trim(r);
    if (r.size() > 4 && text::iequals(std::string_view(r).substr(0, 4), "dbo.")) r.erase(0, 4);
    return r;
}

bool keyMatches(const std::string& key, const Request& req) {
    if (req.type == adCmdStoredProc) return text::iequals(procedureName(key), procedureName(req.text));
    return text::ifind(req.text, key) != std::string_view::npos;
}

}  // namespace

const Parameter* ScriptedDriver::Call::param(std::string_view name) const {
    for (const auto& p : parameters)
        if (text::iequals(p.name, name)) return &p;
    return nullptr;
}

std::shared_ptr<ScriptedDriver> ScriptedDriver::install(const std::string& name) {
    auto d = std::make_shared<ScriptedDriver>();
    auto fwd = std::make_shared<Forwarder>(d);
    d->prefix_ = "script:" + name;
    d->registered_ = fwd.get();
    registerDriver(d->prefix_, fwd);
    return d;
}

ScriptedDriver::~ScriptedDriver() {
    if (!prefix_.empty()) unregisterDriverIf(prefix_, registered_);
}

void ScriptedDriver::on(const std::string& key, Answer answer) {
    std::lock_guard lock(mu_);
    for (auto& rule : rules_)
        if (text::iequals(rule.first, key)) {
            rule.second.push_back(std::move(answer));
            return;
        }
    rules_.emplace_back(key, std::vector<Answer>{std::move(answer)});
}

void ScriptedDriver::otherwise(Answer answer) {
    std::lock_guard lock(mu_);
    otherwise_ = std::move(answer);
}

void ScriptedDriver::failAll(std::optional<std::string> description) {
    std::lock_guard lock(mu_);
    failAll_ = std::move(description);
}

std::vector<ScriptedDriver::Call> ScriptedDriver::calls() const {
    std::lock_guard lock(mu_);
    return calls_;
}

size_t ScriptedDriver::callCount() const {
    std::lock_guard lock(mu_);
    return calls_.size();
}

void ScriptedDriver::clearCalls() {
    std::lock_guard lock(mu_);
    calls_.clear();
}

// A stored procedure without a scripted return value returns 0, as a server's
// procedures do; a text command returns none unless the answer names one.
Response ScriptedDriver::execute(Request& request) {
    std::lock_guard lock(mu_);

    Call call;
    call.connectionString = request.connectionString;
    call.connection = request.connection;
    call.text = request.text;
    call.type = request.type;
    call.timeout = request.timeout;
    call.namedParameters = request.namedParameters;
    if (request.parameters) call.parameters = *request.parameters;
    calls_.push_back(std::move(call));

    if (failAll_) throw Error(*failAll_);

    const Answer* answer = &otherwise_;
    for (const auto& [key, answers] : rules_) {
        if (!keyMatches(key, request)) continue;
        size_t& used = used_[lower(key)];
        answer = &answers[std::min(used, answers.size() - 1)];
        ++used;
        break;
    }

    if (answer->effect) answer->effect();

    Response resp;
    resp.returnValue = answer->returnValue;
    if (!resp.returnValue && request.type == adCmdStoredProc) resp.returnValue = Value(0);

    if (request.parameters) {
        for (auto& p : *request.parameters) {
            if (p.direction == adParamOutput || p.direction == adParamInputOutput) {
                for (const auto& [name, value] : answer->outputs)
                    if (text::iequals(name, p.name)) p.value = value;
            }
        }
        // Written here as well, so that it is readable after a failure.
        if (resp.returnValue)
            for (auto& p : *request.parameters)
                if (p.direction == adParamReturnValue) {
                    p.value = *resp.returnValue;
                    break;
                }
    }

    if (answer->fail) throw Error(*answer->fail);
    // The first row is fetched with the execution, so a failure there fails it.
    if (answer->failAtRow && answer->failAtRow->first == 0 && !answer->columns.empty())
        throw Error(answer->failAtRow->second);

    if (!answer->columns.empty()) {
        resp.recordset = Recordset(answer->columns, answer->rows);
        if (answer->failAtRow) resp.recordset.failAt(answer->failAtRow->first, answer->failAtRow->second);
    }
    return resp;
}

}  // namespace dz::db
