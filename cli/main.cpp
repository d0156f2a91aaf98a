// dezozevo: drives the component by name through its C interface.
//   dezozevo [--home DIR] call METHOD [ARG=VALUE ...]
//   dezozevo [--home DIR] session
//   dezozevo [--home DIR] state
//   dezozevo [--home DIR] check [--json]
// Options may also follow the command.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "dezozevo/dezozevo.h"

namespace {

using ojson = nlohmann::ordered_json;
namespace fs = std::filesystem;

// Exit statuses.
constexpr int kDone = 0;
constexpr int kFailed = 1;    // the call failed towards its caller, or a check did not hold
constexpr int kBadInput = 2;  // wrong command line, unknown method or argument, bad JSON or value
constexpr int kRefused = 3;   // the method ran and answered a non-zero status

// A session exits with its worst answer: wrong input, then a failed call,
// then a refusal.
int worse(int a, int b) {
    auto rank = [](int s) { return s == kBadInput ? 3 : s == kFailed ? 2 : s == kRefused ? 1 : 0; };
    return rank(b) > rank(a) ? b : a;
}

const char* kUsage =
    "Usage: dezozevo [--home DIR] call METHOD [ARG=VALUE ...]\n"
    "       dezozevo [--home DIR] session\n"
    "       dezozevo [--home DIR] state\n"
    "       dezozevo [--home DIR] resend\n"
    "       dezozevo [--home DIR] check [--json]\n"
    "       dezozevo [call|session|check] --help\n"
    "\n"
    "Drives the DEZozevo component by name: creates one Tester and calls its methods.\n"
    "\n"
    "Commands:\n"
    "  call      make one call and print its answer as one JSON object\n"
    "  session   keep one Tester and answer one JSON request per line of standard input\n"
    "  state     create a Tester and print its state: start-up status, server generation,\n"
    "            server and database, component folder and INI file, the resend queue\n"
    "  resend    create a Tester and send the results kept for resend now, oldest first;\n"
    "            the answer's \"result\" is the status of the unit query's resend step\n"
    "  check     create a Tester and say, one line each, whether the INI file was found and\n"
    "            read, the database reached, a generation detected, the station resolved,\n"
    "            the queue folder writable and no result kept or set aside\n"
    "\n"
    "Options (before or after the command):\n"
    "  --home DIR  the component folder (DEZozevo.ini, style sheets, schemas, the daily log);\n"
    "              without it: $DEZOZEVO_HOME when set, else the folder of libDEZozevo.so\n"
    "  --json      check: one JSON object instead of lines\n"
    "  --help      this text\n"
    "\n"
    "Answers:\n"
    "  {\"method\": NAME, \"result\": VALUE, \"args\": {by-reference ARG: VALUE after the call, ...}}\n"
    "  a business method's non-zero status adds \"failure\": {\"status\": N, \"description\": TEXT},\n"
    "  a stored result adds \"testId\" when the database gives one\n"
    "  {\"method\": NAME, \"error\": {\"description\": TEXT}}\n"
    "\n"
    "Exit status:\n"
    "  0  done: the method answered status 0, or it has no status; every check holds\n"
    "  1  the call failed towards its caller (no answer), or a check does not hold\n"
    "  2  wrong input: command line, method, argument, value or JSON\n"
    "  3  the method answered a non-zero status (a refusal, 100 no server, 9998 not kept, ...)\n"
    "A session exits with its worst answer: 2, else 1, else 3, else 0.\n";

const char* kCheckUsage =
    "Usage: dezozevo [--home DIR] check [--json]\n"
    "\n"
    "Creates one Tester and checks the station's set-up, one line each:\n"
    "  ini         DEZozevo.ini found and read in the component folder\n"
    "  database    the master database reached at start-up\n"
    "  generation  a server generation detected (10, 20, 22, 23 or 24)\n"
    "  station     the station's database connection resolved\n"
    "  queue       the folder of kept results writable (created on first use)\n"
    "  kept        no result kept for resend, none set aside\n"
    "Each line begins with \"ok\" or \"FAIL\". --json prints one object instead:\n"
    "  {\"ok\": BOOL, \"checks\": [{\"check\": NAME, \"ok\": BOOL, \"detail\": TEXT}, ...]}\n"
    "\n"
    "Exit status: 0 every check holds, 1 one does not, 2 wrong input.\n";

const char* kSessionUsage =
    "Usage: dezozevo [--home DIR] session\n"
    "\n"
    "Creates one Tester for the whole session, reads one JSON request per line of\n"
    "standard input and writes one JSON answer per line to standard output:\n"
    "\n"
    "  {\"method\": \"CalcErrCode\", \"args\": {\"strMsg\": \"General network error\"}}\n"
    "  -> {\"method\":\"CalcErrCode\",\"result\":9002,\"args\":{\"strMsg\":\"General network error\"}}\n"
    "\n"
    "\"args\" is an object of named arguments or an array of positional ones, and may\n"
    "be left out for a method without arguments. Values are strings, numbers,\n"
    "booleans or null (the Null variant, for SaveResult). Names match without regard\n"
    "to case. A bad request gets {\"method\": ..., \"error\": {\"description\": ...}} and the\n"
    "session goes on; blank lines are skipped. The session ends at the end of input.\n"
    "The request {\"state\": true} is answered with {\"state\": {...}}, the Tester's state\n"
    "as 'dezozevo state' prints it.\n"
    "\n"
    "Exit status: the worst answer: 2 a request was wrong input, else 1 a call failed,\n"
    "else 3 a method answered a non-zero status, else 0.\n";

struct Method {
    std::string name;
    std::string result;
    bool business;  // returns a status
    struct Arg {
        std::string name, type;
        bool byRef, optional;
    };
    std::vector<Arg> args;
};

bool iequals(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower((unsigned char)a[i]) != std::tolower((unsigned char)b[i])) return false;
    return true;
}

std::vector<Method> loadMethods() {
    char* text = nullptr;
    if (dz_methods(&text) != DZ_OK) {
        std::cerr << "dezozevo: " << dz_last_error() << "\n";
        std::exit(kFailed);
    }
    const ojson list = ojson::parse(text);
    dz_free(text);
    std::vector<Method> out;
    for (const auto& m : list) {
        Method x{m["name"], m["result"], m["business"], {}};
        for (const auto& a : m["args"]) x.args.push_back({a["name"], a["type"], a["byRef"], a["optional"]});
        out.push_back(std::move(x));
    }
    return out;
}

const Method* find(const std::vector<Method>& all, const std::string& name) {
    for (const auto& m : all)
        if (iequals(m.name, name)) return &m;
    return nullptr;
}

std::string signature(const Method& m) {
    std::string s = m.name + "(";
    for (size_t i = 0; i < m.args.size(); ++i) {
        const auto& a = m.args[i];
        if (i) s += ", ";
        if (a.optional) s += "[";
        if (a.byRef) s += "&";
        s += a.name;
        if (a.type != "text") s += ": " + a.type;
        if (a.optional) s += "]";
    }
    s += ")";
    if (m.result != "none") s += " -> " + m.result;
    return s;
}

void printCallUsage(const std::vector<Method>& all, const Method* only) {
    std::cout << "Usage: dezozevo [--home DIR] call METHOD [ARG=VALUE ...]\n\n"
                 "Creates one Tester, calls METHOD with the named arguments and prints one JSON\n"
                 "object with the result and every passed by-reference argument after the call.\n"
                 "Values are texts, converted to the argument's type; an optional argument that\n"
                 "is left out is the empty text. Names match without regard to case.\n\n"
                 "ARG=@PATH reads the value from the file PATH, ARG=@- from standard input;\n"
                 "a value that begins with @ is written @@ (ARG=@@x passes @x).\n\n"
                 "Example: dezozevo call CalcErrCode strMsg=\"General network error\"\n"
                 "         dezozevo call SaveResult strXMLResultText=@run.xml\n\n"
              << (only ? "Method" : "Methods") << " (&: by reference, the method may change it; [ ]: optional):\n";
    for (const auto& m : all)
        if (!only || &m == only) std::cout << "  " << signature(m) << "\n";
    std::cout << "\nExit status: 0 the method answered status 0 or has no status, 3 it answered a non-zero\n"
                 "status (its description is in \"failure\"), 1 the call failed, 2 wrong input.\n";
}

std::string dumped(const ojson& j) { return j.dump(-1, ' ', false, ojson::error_handler_t::replace); }

ojson errorAnswer(const ojson& method, const std::string& description) {
    ojson out;
    out["method"] = method;
    out["error"] = {{"description", description}};
    return out;
}

int statusOf(int rc) {
    switch (rc) {
        case DZ_OK: return kDone;
        case DZ_E_FAILED:
        case DZ_E_WRONG_THREAD:
        case DZ_E_INTERNAL: return kFailed;
        default: return kBadInput;
    }
}

// The Tester's state as dz_state gives it; a null on failure.
ojson stateOf(dz_tester* t) {
    char* text = nullptr;
    if (dz_state(t, &text) != DZ_OK) return nullptr;
    ojson j = ojson::parse(text, nullptr, false);
    dz_free(text);
    return j.is_discarded() ? ojson(nullptr) : j;
}

// One call through the C interface; prints its answer line and returns the exit status.
// A business method's non-zero status is answered with the failure's
// description (and exits 3), a stored result with its test ID.
int callAndPrint(dz_tester* t, const std::vector<Method>& all, const std::string& method, const ojson& args) {
    const Method* m = find(all, method);
    const ojson shownName = m ? ojson(m->name) : ojson(method);
    char* answer = nullptr;
    const int rc = dz_invoke(t, method.c_str(), dumped(args).c_str(), &answer);
    if (rc != DZ_OK) {
        std::cout << dumped(errorAnswer(shownName, dz_last_error())) << std::endl;
        return statusOf(rc);
    }
    ojson out;
    if (m && m->business) out = ojson::parse(answer, nullptr, false);
    const bool failed = out.is_object() && out["result"].is_number() && out["result"] != 0;
    const bool stored = out.is_object() && out["result"] == 0 && m->name == "SaveResult";
    if (failed || stored) {
        const ojson state = stateOf(t);
        if (failed && state.is_object() && state["lastFailure"].is_object()) out["failure"] = state["lastFailure"];
        if (stored && state.is_object() && state["testId"].is_number()) out["testId"] = state["testId"];
        std::cout << dumped(out) << std::endl;
    } else {
        std::cout << answer << std::endl;
    }
    dz_free(answer);
    return failed ? kRefused : kDone;
}

// Set when neither --home nor DEZOZEVO_HOME chose the component folder.
bool defaultHome = false;

dz_tester* createTester() {
    dz_tester* t = nullptr;
    if (dz_tester_create(&t) != DZ_OK) {
        std::cerr << "dezozevo: cannot create the Tester: " << dz_last_error() << "\n";
        return nullptr;
    }
    if (defaultHome) {
        const ojson state = stateOf(t);
        if (state.is_object() && state["iniFound"] == false)
            std::cerr << "dezozevo: no DEZozevo.ini in " << state["folder"].get<std::string>()
                      << " (the folder of libDEZozevo.so); the component runs on its defaults. "
                         "Name the component folder with --home DIR or DEZOZEVO_HOME.\n";
    }
    return t;
}

// The value of ARG=VALUE: @PATH reads the file, @- standard input, @@ stands for one @.
bool readValue(const std::string& raw, std::string& value, std::string& problem) {
    if (raw.empty() || raw[0] != '@' || raw.rfind("@@", 0) == 0) {
        value = raw.rfind("@@", 0) == 0 ? raw.substr(1) : raw;
        return true;
    }
    const std::string path = raw.substr(1);
    if (path.empty()) {
        problem = "'@' names no file (write @PATH, @- for standard input, @@ for a leading @)";
        return false;
    }
    std::ostringstream text;
    if (path == "-") {
        text << std::cin.rdbuf();
    } else {
        std::error_code ec;
        std::ifstream in(path, std::ios::binary);
        if (!in || fs::is_directory(path, ec)) {
            problem = "cannot read " + path;
            return false;
        }
        text << in.rdbuf();
        if (in.bad()) {
            problem = "cannot read " + path;
            return false;
        }
    }
    value = std::move(text).str();
    return true;
}

int usageError(const std::string& message) {
    std::cerr << "dezozevo: " << message << "\nTry 'dezozevo --help'.\n";
    return kBadInput;
}

int runCall(const std::vector<std::string>& words) {
    const auto all = loadMethods();
    if (words.empty()) return usageError("call: which method? ('dezozevo call --help' lists them)");
    if (words[0] == "--help" || words[0] == "-h") {
        printCallUsage(all, nullptr);
        return kDone;
    }
    const std::string method = words[0];
    const Method* m = find(all, method);
    for (size_t i = 1; i < words.size(); ++i)
        if (words[i] == "--help" || words[i] == "-h") {
            if (!m) break;
            printCallUsage(all, m);
            return kDone;
        }
    if (!m) {
        std::cout << dumped(errorAnswer(method, "Unknown method: " + method +
                                                    " ('dezozevo call --help' lists the methods)"))
                  << std::endl;
        return kBadInput;
    }

    // Names and required arguments are checked before the Tester exists, so
    // that wrong input leaves no trace in the component's log.
    ojson args = ojson::object();
    std::vector<bool> seen(m->args.size());
    int readsStdin = 0;
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& w = words[i];
        const size_t eq = w.find('=');
        if (eq == std::string::npos || eq == 0)
            return usageError("call " + m->name + ": expected ARG=VALUE, got '" + w + "'");
        const std::string name = w.substr(0, eq);
        size_t k = 0;
        while (k < m->args.size() && !iequals(m->args[k].name, name)) ++k;
        if (k == m->args.size()) {
            std::cout << dumped(errorAnswer(m->name, m->name + " has no argument " + name + " (it takes " +
                                                         signature(*m) + ")"))
                      << std::endl;
            return kBadInput;
        }
        if (seen[k]) return usageError("call " + m->name + ": argument " + m->args[k].name + " is given twice");
        seen[k] = true;
        const std::string raw = w.substr(eq + 1);
        if (raw == "@-" && readsStdin++) return usageError("call " + m->name + ": only one argument can read @-");
        std::string value, problem;
        if (!readValue(raw, value, problem))
            return usageError("call " + m->name + ": " + m->args[k].name + ": " + problem);
        args[m->args[k].name] = std::move(value);
    }
    for (size_t k = 0; k < m->args.size(); ++k)
        if (!seen[k] && !m->args[k].optional) {
            std::cout << dumped(errorAnswer(m->name, "Argument " + m->args[k].name + " of " + m->name +
                                                         " is missing (it takes " + signature(*m) + ")"))
                      << std::endl;
            return kBadInput;
        }

    dz_tester* t = createTester();
    if (!t) return kFailed;
    const int status = callAndPrint(t, all, m->name, args);
    dz_tester_release(t);
    return status;
}

int runSession(const std::vector<std::string>& words) {
    for (const auto& w : words) {
        if (w == "--help" || w == "-h") {
            std::cout << kSessionUsage;
            return kDone;
        }
    }
    if (!words.empty()) return usageError("session takes no arguments, got '" + words[0] + "'");
    const auto all = loadMethods();
    dz_tester* t = createTester();
    if (!t) return kFailed;

    int worst = kDone;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        int status = kBadInput;
        ojson req;
        try {
            req = ojson::parse(line);
        } catch (const std::exception& e) {
            std::cout << dumped(errorAnswer(nullptr, std::string("Bad JSON: ") + e.what())) << std::endl;
            worst = worse(worst, status);
            continue;
        }
        std::string problem;
        if (!req.is_object()) {
            problem = "A request is a JSON object: {\"method\": NAME, \"args\": {...}}";
        } else if (!req.contains("method") || !req["method"].is_string()) {
            problem = "The request has no \"method\" text";
        } else if (req.contains("args") && !req["args"].is_object() && !req["args"].is_array() &&
                   !req["args"].is_null()) {
            problem = "\"args\" must be an object (by name) or an array (by position)";
        } else {
            for (auto it = req.begin(); it != req.end(); ++it)
                if (it.key() != "method" && it.key() != "args") {
                    problem = "Unknown key in the request: " + it.key();
                    break;
                }
        }
        if (problem == "The request has no \"method\" text" && req.size() == 1 && req.contains("state") &&
            req["state"] == true) {
            const ojson state = stateOf(t);
            std::cout << dumped(state.is_null() ? errorAnswer(nullptr, dz_last_error()) : ojson{{"state", state}})
                      << std::endl;
            worst = worse(worst, state.is_null() ? kFailed : kDone);
            continue;
        }
        if (!problem.empty()) {
            const ojson method = req.is_object() && req.contains("method") ? req["method"] : ojson(nullptr);
            std::cout << dumped(errorAnswer(method, problem)) << std::endl;
        } else {
            const ojson args = req.contains("args") ? req["args"] : ojson::object();
            status = callAndPrint(t, all, req["method"].get<std::string>(), args);
        }
        worst = worse(worst, status);
    }
    dz_tester_release(t);
    return worst;
}

// Sends the kept results now; answers like a call of a business method.
int runResend(const std::vector<std::string>& words) {
    if (words.size() == 1 && (words[0] == "--help" || words[0] == "-h")) {
        std::cout << kUsage;
        return kDone;
    }
    if (!words.empty()) return usageError("resend takes no arguments, got '" + words[0] + "'");
    dz_tester* t = createTester();
    if (!t) return kFailed;
    int32_t result = 0;
    const int rc = dz_resend(t, &result);
    int status = kDone;
    if (rc != DZ_OK) {
        std::cout << dumped(errorAnswer("resend", dz_last_error())) << std::endl;
        status = statusOf(rc);
    } else {
        ojson out{{"method", "resend"}, {"result", result}, {"args", ojson::object()}};
        if (result != 0) {
            const ojson state = stateOf(t);
            if (state.is_object() && state["lastFailure"].is_object()) out["failure"] = state["lastFailure"];
            status = kRefused;
        }
        std::cout << dumped(out) << std::endl;
    }
    dz_tester_release(t);
    return status;
}

int runState(const std::vector<std::string>& words) {
    if (words.size() == 1 && (words[0] == "--help" || words[0] == "-h")) {
        std::cout << kUsage;
        return kDone;
    }
    if (!words.empty()) return usageError("state takes no arguments, got '" + words[0] + "'");
    dz_tester* t = createTester();
    if (!t) return kFailed;
    const ojson state = stateOf(t);
    const int status = state.is_null() ? kFailed : kDone;
    if (state.is_null())
        std::cerr << "dezozevo: " << dz_last_error() << "\n";
    else
        std::cout << state.dump(2, ' ', false, ojson::error_handler_t::replace) << std::endl;
    dz_tester_release(t);
    return status;
}

// The nearest existing folder at or above `p`: where a missing folder would be created.
fs::path nearestExisting(fs::path p) {
    std::error_code ec;
    while (!p.empty() && !fs::exists(p, ec)) {
        if (p == p.parent_path()) break;
        p = p.parent_path();
    }
    return p;
}

std::string firstLine(const std::string& s) { return s.substr(0, s.find_first_of("\r\n")); }

int runCheck(const std::vector<std::string>& words) {
    bool asJson = false;
    for (const auto& w : words) {
        if (w == "--help" || w == "-h") {
            std::cout << kCheckUsage;
            return kDone;
        }
        if (w == "--json")
            asJson = true;
        else
            return usageError("check takes no arguments but --json, got '" + w + "'");
    }
    dz_tester* t = createTester();
    if (!t) return kFailed;
    const ojson s = stateOf(t);
    dz_tester_release(t);
    if (!s.is_object()) {
        std::cerr << "dezozevo: " << dz_last_error() << "\n";
        return kFailed;
    }

    ojson checks = ojson::array();
    bool all = true;
    auto line = [&](const char* name, bool ok, const std::string& detail) {
        checks.push_back({{"check", name}, {"ok", ok}, {"detail", detail}});
        all = all && ok;
    };
    auto text = [&](const char* key) { return s.value(key, std::string()); };
    auto number = [&](const ojson& j, const char* key) { return j.contains(key) && j[key].is_number() ? j[key].get<long long>() : 0LL; };
    const std::string failure = s["lastFailure"].is_object() && s["lastFailure"]["description"].is_string()
                                    ? firstLine(s["lastFailure"]["description"].get<std::string>())
                                    : "";

    const std::string ini = text("iniFile");
    const bool iniRead = s.value("iniFound", false) && std::ifstream(ini).good();
    line("ini", iniRead, ini + (iniRead ? "" : s.value("iniFound", false) ? " cannot be read" : " not found"));

    const long long generation = number(s, "generation");
    const std::string where = text("server") + " (" + text("database") + ")";
    line("database", generation != 0,
         generation != 0 ? where : where + " not reached" + (failure.empty() ? "" : ": " + failure));
    line("generation", generation != 0,
         generation != 0 ? "schema " + std::to_string(number(s, "schema")) : "none detected");

    const long long startup = number(s, "startupStatus");
    line("station", startup == 0,
         text("station") + (startup == 0              ? " resolved"
                            : generation == 0         ? " not resolved: no database"
                                                      : " not resolved: status " + std::to_string(startup) +
                                                           (failure.empty() ? "" : " (" + failure + ")")));

    const ojson queue = s.contains("queue") && s["queue"].is_object() ? s["queue"] : ojson(nullptr);
    if (!queue.is_object() || !queue["path"].is_string()) {
        line("queue", false, "the library does not report its queue");
        line("kept", false, "the library does not report its queue");
    } else {
        const fs::path folder = fs::path(queue["path"].get<std::string>()).parent_path();
        const fs::path base = nearestExisting(folder);
        std::error_code ec;
        const bool writable = !base.empty() && fs::is_directory(base, ec) && access(base.c_str(), W_OK | X_OK) == 0;
        line("queue", writable,
             folder.string() + (base == folder ? (writable ? " writable" : " not writable")
                                               : " not created yet; " + base.string() +
                                                     (writable ? " lets it be created" : " does not let it be created")));
        const long long kept = number(queue, "kept"), rejected = number(queue, "rejected");
        std::string detail = std::to_string(kept) + " kept for resend";
        if (kept) detail += " (the oldest " + std::to_string(number(queue, "oldestSeconds")) + " s old)";
        detail += ", " + std::to_string(rejected) + " set aside as rejected";
        line("kept", kept == 0 && rejected == 0, detail);
    }

    if (asJson) {
        std::cout << dumped(ojson{{"ok", all}, {"checks", checks}}) << std::endl;
    } else {
        for (const auto& c : checks) {
            std::string name = c["check"];
            name.resize(12, ' ');
            std::cout << (c["ok"] == true ? "ok   " : "FAIL ") << name << c["detail"].get<std::string>() << "\n";
        }
        std::cout.flush();
    }
    return all ? kDone : kFailed;
}

}  // namespace

int main(int argc, char** argv) {
    // The options --home and --help may come before or after the command;
    // everything after "--" is left to the command.
    std::vector<std::string> words;
    std::string home;
    bool haveHome = false, help = false, ended = false;
    for (int k = 1; k < argc; ++k) {
        const std::string w = argv[k];
        if (ended) {
            words.push_back(w);
        } else if (w == "--") {
            ended = true;
        } else if (w == "--home" || w.rfind("--home=", 0) == 0) {
            if (w == "--home") {
                if (k + 1 >= argc) return usageError("--home needs a folder");
                home = argv[++k];
            } else {
                home = w.substr(7);
            }
            haveHome = true;
        } else if ((w == "--help" || w == "-h") && words.empty()) {
            help = true;
        } else if (!w.empty() && w[0] == '-' && words.empty()) {
            return usageError("unknown option " + w);
        } else {
            words.push_back(w);
        }
    }
    if (help) {
        std::cout << kUsage;
        return kDone;
    }
    if (haveHome) {
        std::error_code ec;
        if (home.empty() || !fs::is_directory(home, ec)) return usageError("--home: no such folder: " + home);
        const fs::path abs = fs::absolute(home, ec);
        // The component reads its folder from the environment when it creates the Tester.
        setenv("DEZOZEVO_HOME", (ec ? fs::path(home) : abs).c_str(), 1);
    }
    const char* envHome = std::getenv("DEZOZEVO_HOME");
    defaultHome = !haveHome && !(envHome && *envHome);
    if (words.empty()) return usageError("which command? call, session, state, resend or check");
    const std::string command = words[0];
    const std::vector<std::string> rest(words.begin() + 1, words.end());
    try {
        if (command == "call") return runCall(rest);
        if (command == "session") return runSession(rest);
        if (command == "state") return runState(rest);
        if (command == "resend") return runResend(rest);
        if (command == "check") return runCheck(rest);
    } catch (const std::exception& e) {
        std::cerr << "dezozevo: " << e.what() << "\n";
        return kFailed;
    }
    return usageError("unknown command " + command);
}
