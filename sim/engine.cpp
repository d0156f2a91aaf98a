// Answering one command: login, journal, then a canned answer or the
// built-in procedure (parameters bound as the server binds them) or batch.
#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/text.h"
#include "sim/internal.h"
#include "sim/sim.h"

namespace dz::sim {

using json = nlohmann::json;

void delay(Session& s, long long ms) {
    using namespace std::chrono;
    int timeout = s.request ? s.request->timeout : 0;
    long long limit = timeout > 0 ? (long long)timeout * 1000 : -1;
    bool expires = limit >= 0 && ms > limit;
    auto until = steady_clock::now() + milliseconds(expires ? limit : ms);
    while (steady_clock::now() < until) {
        if (s.cancel && s.cancel->load()) throw db::Error(kTimeout, db::FailureKind::Timeout);
        std::this_thread::sleep_for(std::min(milliseconds(10), duration_cast<milliseconds>(until - steady_clock::now())));
    }
    if (expires) throw db::Error(kTimeout, db::FailureKind::Timeout);
}

std::string lowerAscii(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = text::asciiLower(c);
    return r;
}

// "dbo.name", "[dbo].[name]", "[name]" and "name;1" all name the procedure `name`.
std::string procedureName(std::string_view raw) {
    std::string n = text::trim(raw);
    size_t semi = n.find(';');
    if (semi != std::string::npos) n = n.substr(0, semi);
    std::string out;
    for (char c : n)
        if (c != '[' && c != ']') out += c;
    size_t dot = out.rfind('.');
    if (dot != std::string::npos) out = out.substr(dot + 1);
    return text::trim(out);
}

namespace {

void checkLogin(sqlite3* db, const db::ConnectionInfo& c) {
    Stmt q(db, "SELECT password FROM users WHERE name = ?");
    q.with(c.userId);
    if (!q.step() || q.text(0) != c.password) throw db::Error("Login failed for user '" + c.userId + "'.");
    if (std::optional<std::string> refused = loginRefusal(db, c.userId)) throw db::Error(*refused);
}

db::Value jsonValue(const json& j) {
    if (j.is_null()) return db::Value();
    if (j.is_boolean()) return db::Value(j.get<bool>());
    if (j.is_number_integer()) return db::Value(j.get<long long>());
    if (j.is_number()) return db::Value(j.get<double>());
    return db::Value(j.get<std::string>());
}

bool isOutput(const db::Parameter& p) {
    return p.direction == db::adParamOutput || p.direction == db::adParamInputOutput;
}

// Whether canned output `key` means actual parameter `i`: by the caller's
// name, by the name of the procedure's own parameter at that place when the
// caller sent none (a client that binds by position), or by position, "2"
// for the second parameter.
bool outputMatches(const std::string& key, const std::vector<ActualParam>& actuals, size_t i, const ProcDef* def) {
    const db::Parameter& p = *actuals[i].param;
    if (!p.name.empty() && text::iequals(p.name, key)) return true;
    if (p.name.empty() && !actuals[i].byName && def && i < def->params.size() && text::iequals(def->params[i].name, key))
        return true;
    return !key.empty() && key.find_first_not_of("0123456789") == std::string::npos && key.size() < 6 &&
           size_t(std::stoi(key)) == i + 1;
}

CallResult applyCannedJson(Session& s, const json& a, std::vector<ActualParam>& actuals, db::Parameter* returnParam,
                           const ProcDef* def) {
    if (a.contains("delay_ms")) delay(s, a["delay_ms"].get<long long>());
    if (a.value("drop", false)) throw Dropped();
    CallResult r;
    r.ret = a.contains("return") ? a["return"].get<int>() : 0;
    if (returnParam) returnParam->value = db::Value(r.ret);
    if (a.contains("outputs"))
        for (auto it = a["outputs"].begin(); it != a["outputs"].end(); ++it)
            for (size_t i = 0; i < actuals.size(); ++i)
                if (isOutput(*actuals[i].param) && outputMatches(it.key(), actuals, i, def))
                    actuals[i].param->value = jsonValue(it.value());
    if (a.contains("fail")) throw db::Error(a["fail"].get<std::string>());
    if (a.contains("columns")) {
        std::vector<std::string> cols = a["columns"].get<std::vector<std::string>>();
        std::vector<std::vector<db::Value>> rows;
        if (a.contains("rows"))
            for (const json& row : a["rows"]) {
                std::vector<db::Value> vals;
                for (const json& v : row) vals.push_back(jsonValue(v));
                rows.push_back(std::move(vals));
            }
        r.recordset = db::Recordset(std::move(cols), std::move(rows));
    }
    return r;
}

// A canned answer changed by hand into something malformed fails the call
// with a description that says so.
CallResult applyCanned(Session& s, const std::string& name, const std::string& text,
                       std::vector<ActualParam>& actuals, db::Parameter* returnParam, const ProcDef* def) {
    try {
        json a = json::parse(text);
        if (!a.is_object()) throw db::Error("The simulator's canned answer for " + name + " is not an object.");
        return applyCannedJson(s, a, actuals, returnParam, def);
    } catch (const json::exception& e) {
        throw db::Error("The simulator's canned answer for " + name + " is not valid: " + e.what());
    }
}

// Binds the actual parameters to the procedure's formal ones as the server
// does: by position unless named, outputs only where declared, every formal
// parameter without a default supplied.
void bind(const ProcDef& def, std::vector<ActualParam>& actuals, ProcCall& call) {
    std::vector<bool> given(def.params.size(), false);
    size_t pos = 0;
    bool namedSeen = false;
    for (ActualParam& a : actuals) {
        size_t idx = def.params.size();
        if (a.byName) {
            namedSeen = true;
            for (size_t i = 0; i < def.params.size(); ++i)
                if (text::iequals(def.params[i].name, a.param->name)) idx = i;
            if (idx == def.params.size())
                throw db::Error(a.param->name + " is not a parameter for procedure " + def.name + ".");
            if (given[idx]) throw db::Error("Parameter '" + def.params[idx].name + "' was supplied multiple times.");
        } else {
            if (namedSeen)
                throw db::Error("Must pass parameter number " + std::to_string(pos + 1) +
                                " and subsequent parameters as '@name = value'. After the form '@name = value' has "
                                "been used, all subsequent parameters must be passed in the form '@name = value'.");
            if (pos >= def.params.size())
                throw db::Error("Procedure or function " + def.name + " has too many arguments specified.");
            idx = pos++;
        }
        given[idx] = true;
        const ParamSpec& spec = def.params[idx];
        if (isOutput(*a.param) && !spec.output)
            throw db::Error("The formal parameter \"" + spec.name +
                            "\" was not declared as an OUTPUT parameter, but the actual parameter passed in "
                            "requested output.");
        std::string key = lowerAscii(spec.name);
        static const db::Value kNull;
        call.in[key] = a.param->direction == db::adParamOutput ? &kNull : &a.param->value;
        if (isOutput(*a.param)) call.out[key] = a.param;
    }
    for (size_t i = 0; i < def.params.size(); ++i)
        if (!given[i] && !def.params[i].optional)
            throw db::Error("Procedure or function '" + def.name + "' expects parameter '" + def.params[i].name +
                            "', which was not supplied.");
}

}  // namespace

CallResult runProcedure(Session& s, std::string_view rawName, std::vector<ActualParam>& actuals,
                        db::Parameter* returnParam) {
    std::string name = procedureName(rawName);
    const ProcDef* def = findProcedure(name, s.generation);
    if (std::optional<std::string> canned = cannedAnswer(s.db, name))
        return applyCanned(s, name, *canned, actuals, returnParam, def);

    if (!def) throw db::Error("Could not find stored procedure '" + name + "'.");
    ProcCall call;
    call.db = s.db;
    call.generation = s.generation;
    call.request = s.request;
    call.name = def->name;
    bind(*def, actuals, call);
    Transaction tx(s.db);
    def->body(call);
    tx.commit();

    CallResult r;
    r.ret = call.ret;
    if (returnParam) returnParam->value = db::Value(r.ret);
    if (call.columns) r.recordset = db::Recordset(*call.columns, std::move(call.rows));
    return r;
}

std::vector<std::string> procedureColumns(Session& s, std::string_view raw) {
    std::vector<std::string> cols;
    if (const ProcDef* d = findProcedure(procedureName(raw), s.generation))
        for (const ParamSpec& p : d->params) cols.push_back(p.name);
    return cols;
}

std::vector<std::string> procedureParameters(const std::string& path, const std::string& procedure) {
    Session s;
    s.db = connect(path);
    s.generation = std::atoi(metaValue(s.db, "generation", "10").c_str());
    return procedureColumns(s, procedure);
}

db::Response execute(const std::string& path, db::Request& req, const std::atomic<bool>* cancel) {
    return execute(path, req, cancel, inProcessCaller(), nullptr);
}

db::Response execute(const std::string& path, db::Request& req, const std::atomic<bool>* cancel,
                     const Caller& caller, CallOutcome* outcome) {
    sqlite3* db = connect(path);
    checkLogin(db, req.connection);
    Session s;
    s.db = db;
    s.generation = std::atoi(metaValue(db, "generation", "10").c_str());
    s.request = &req;
    s.cancel = cancel;

    const bool isProc = req.type == db::adCmdStoredProc;
    std::optional<std::string> name;
    const ProcDef* def = nullptr;
    if (isProc) {
        name = procedureName(req.text);
        def = findProcedure(*name, s.generation);
    }
    // Parameters as sent: taken before the outputs come back.
    JournalEntry entry(req, caller, def);
    entry.procedure = name;

    std::vector<ActualParam> actuals;
    db::Parameter* returnParam = nullptr;
    if (req.parameters)
        for (db::Parameter& p : *req.parameters) {
            if (p.direction == db::adParamReturnValue) {
                if (!returnParam) returnParam = &p;
                continue;
            }
            actuals.push_back({&p, req.namedParameters});
        }

    FaultEffect effect;
    db::Response resp;
    try {
        applyFaults(s, name, entry.station, effect);
        if (effect.status) {
            // A scheduled failure that answers with a status instead of running.
            resp.returnValue = db::Value(*effect.status);
            if (returnParam) returnParam->value = *resp.returnValue;
        } else if (!isProc) {
            resp = runBatch(s, req.text);
        } else {
            CallResult r = runProcedure(s, req.text, actuals, returnParam);
            if (r.recordset) resp.recordset = std::move(*r.recordset);
            resp.returnValue = db::Value(r.ret);
        }
    } catch (const db::Error& e) {
        if (effect.status && returnParam) returnParam->value = db::Value(*effect.status);
        entry.error = e.description();
        if (returnParam && !returnParam->value.isNull()) entry.status = returnParam->value.toInt32();
        entry.record(db);
        throw;
    }
    if (resp.returnValue && !resp.returnValue->isNull()) entry.status = resp.returnValue->toInt32();
    if (resp.recordset.isOpen()) entry.rows = (long long)resp.recordset.rows().size();
    if (effect.cut) entry.error = "connection cut during the answer";
    entry.record(db);
    if (effect.cut) {
        if (!outcome) throw Dropped();
        outcome->cutAnswer = true;
    }
    return resp;
}

}  // namespace dz::sim
