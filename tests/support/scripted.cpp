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
        if (text::iequals(rule.key, key)) {
            rule.answers.push_back(std::move(answer));
            return;
        }
    rules_.push_back({key, {std::move(answer)}});
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

    calls_.push_back({.connectionString = request.connectionString, .text = request.text, .type = request.type,
                      .timeout = request.timeout, .namedParameters = request.namedParameters,
                      .parameters = request.parameters ? *request.parameters : std::vector<Parameter>{}});

    if (failAll_) throw Error(*failAll_);

    const Answer* answer = &otherwise_;
    for (auto& rule : rules_)
        if (keyMatches(rule.key, request)) {
            answer = &rule.answers[std::min(rule.used++, rule.answers.size() - 1)];
            break;
        }

    if (answer->effect) answer->effect();

    Response resp;
    resp.returnValue = answer->returnValue;
    if (!resp.returnValue && request.type == adCmdStoredProc) resp.returnValue = Value(0);

    // Written before a scripted failure too, so that they are readable after it.
    if (request.parameters)
        for (auto& p : *request.parameters) {
            if (p.direction == adParamReturnValue && resp.returnValue) p.value = *resp.returnValue;
            if (p.direction != adParamOutput && p.direction != adParamInputOutput) continue;
            for (const auto& [name, value] : answer->outputs)
                if (text::iequals(name, p.name)) p.value = value;
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
