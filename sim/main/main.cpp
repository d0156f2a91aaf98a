// dezozevo-sim: creates and inspects MES simulator databases.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/db/db.h"
#include "sim/sim.h"
#include "sim/main/serve.h"

namespace {

using json = nlohmann::json;

const char* const kUsage = R"(usage: dezozevo-sim COMMAND [ARGS]

An MES simulator in one SQLite file. A station reaches it with
Data Source=sim:PATH in its connection string (DATABASE/SERVER in DEZozevo.ini);
a relative PATH is taken from the component folder.

commands:
  init PATH --generation N [--sample] [--user U --password P] [--force]
                        create a database of generation 10, 20, 22, 23 or 24
  answers PATH FILE     load canned answers from FILE, replacing earlier ones
  calls PATH [--since T] [--procedure P] [--station S] [--last N] [--table] [--follow] [--clear]
                        print the journal: every command the database received
  fault add|list|clear PATH ...
                        fault schedules: failures, latency, time-outs, cut
                        answers, refused logins
  results PATH          print the stored test results with their test IDs
  serve PATH [--host H] [--port N] [--max-connections N] [--login-timeout S] [--trace]
        [--tls-cert FILE --tls-key FILE [--tls-require]]
                        answer SQL Server clients (TDS 7.4, TLS with a certificate)
                        on a loopback port; --port 0 picks a free one; prints
                        "listening on HOST:PORT";
                        --http PORT adds the web view
  sql PATH STATEMENT    run one SQL statement on the file (maintenance)

Run "dezozevo-sim COMMAND --help" for the details of a command.
)";

const char* const kInitHelp = R"(usage: dezozevo-sim init PATH --generation N [--sample] [--user U --password P]
                         [--database NAME] [--buffer-folder DIR] [--force]

Creates the simulator database PATH declaring schema generation N (10, 20, 22,
23 or 24). It knows one login, U with password P (default: station/station),
and the message texts of its codes.

  --sample          fill in the sample plant: parts, work orders, routes,
                    units, calibration; also creates the line-2 slave database
                    "<stem>-line2<ext>" beside PATH, which serves station FCT-02
  --database NAME   the database name it reports (default MES)
  --buffer-folder DIR
                    folder of the "TempFile" station FINAL-01 (default: "buffer"
                    beside PATH; created when missing)
  --force           replace an existing file

Prints one JSON line describing what was created.
)";

const char* const kAnswersHelp = R"(usage: dezozevo-sim answers PATH FILE

Loads canned answers from FILE ("-" reads standard input) into the database,
replacing all earlier ones; an empty file removes them. A canned answer
overrides the built-in procedure of that name (names match without regard to
case) and makes a procedure exist that the database does not have.

  {"procedures": {
     "uspCheckRouting": {"return": 5},
     "uspGetOrderInfo": {"columns": ["ERROR"], "rows": [[7]]},
     "objUTLGetErrMessage": {"outputs": {"@Message": "Fixture worn"}},
     "uspTestSaveResult": {"delay_ms": 3000},
     "objTSKGetUnitInfo": {"return": 55, "fail": "Unit is locked by another station"},
     "uspGetUnitInfo": {"drop": true}}}

An answer holds any of:
  "columns": [names]          a record set with these columns ...
  "rows": [[values]]          ... and these rows (null is Null)
  "return": integer           the procedure's return status (default 0)
  "outputs": {"@Name": value} values of output parameters
  "fail": "description"       the call fails with this description (after the
                              return status and outputs are set)
  "delay_ms": integer         the answer comes that much later; past the
                              command's time-out the call fails with
                              "Timeout expired"
  "drop": true                the connection breaks during the call
                              ("General network error")
)";

const char* const kCallsHelp = R"(usage: dezozevo-sim calls PATH [--since T] [--procedure P] [--station S]
                          [--last N] [--table] [--follow] [--clear]
       dezozevo-sim calls PATH --value ID N

Prints the journal, oldest first, one JSON object per command received:
  {"id", "at", "connection", "login", "host", "program", "station",
   "type": "procedure" or "text", "text", "procedure",
   "params": [{"name", "type", "direction", "size", "value"}],
   "status", "rows", "duration_ms", "error"}
"at" is UTC with milliseconds; "connection", "host" and "program" say who
called ("spid N" over the network, "pid N" in-process); "station" is the
station a parameter named; a parameter sent without a name has the
procedure's own; "status" is the return status, "error" the failure. type
and direction are the client's codes (200 varchar, 201 long varchar,
202 nvarchar, 3 integer, 5 double, 135 timestamp; 1 input, 2 output,
3 input-output, 4 return value). A value over 64 KB shows as "bytes" and
"digest" instead; --value prints it whole while it is kept. The journal keeps
the newest 20,000 commands.

  --since T        entries from T on: a UTC time (2026-05-04T10:00:00Z) or an
                   age (30s, 5m, 2h, 1d)
  --procedure P    only calls of procedure P (or batches of that text)
  --station S      only calls that named station S
  --last N         only the newest N entries
  --table          a table for people instead of JSON lines
  --follow         keep printing new entries as they come (until interrupted)
  --clear          empty the journal after printing it
  --value ID N     print the whole value of parameter N (0-based) of entry ID
)";

const char* const kFaultHelp = R"(usage: dezozevo-sim fault add PATH ACTION [WHOM] [WHEN] [HOW]
       dezozevo-sim fault list PATH
       dezozevo-sim fault clear PATH [ID]

Fault schedules make matching calls misbehave, in-process (sim:) and over
the listener alike. They are kept in the file; add prints the schedule as
stored (with its id), list prints them all with "seen" (matching calls) and
"hits" (calls it hit), clear removes one or all.

ACTION:
  fail           the call fails with --error TEXT (default: a description
                 saying it is simulated); with --status N alone it answers
                 return status N without running
  latency        the answer comes --ms N (or a random MIN-MAX) later
  timeout        the answer comes after the caller's time-out (in-process the
                 command fails with "Timeout expired"; over the network the
                 client gives up); --ms N waits at most N
  cut            the connection is cut halfway through the answer (the call
                 ran: a result is stored); in-process a network error
  refuse-login   logins fail with "Login failed for user 'U'."
WHOM (default: every call):
  --procedure P  --station S  --login L
WHEN (default: always):
  --next N       only the next N matching calls
  --every K      every K-th matching call
  --from T --until T
                 a time window: UTC times (2026-05-04T10:00:00Z) or +SECONDS
  --for S        from now (or --from) for S seconds
)";

const char* const kResultsHelp = R"(usage: dezozevo-sim results PATH

Prints the stored test results, oldest first, one JSON object each:
  {"test_id", "serial", "station", "status", "procedure", "received",
   "enter_time", "exit_time", "document"}
status is PASS, FAIL or TERMINATE as the database judged the DUT statuses.
)";

const char* const kSqlHelp = R"(usage: dezozevo-sim sql PATH STATEMENT

Runs one SQLite statement on the simulator file and prints the rows it
returns, one JSON object each. For changing the plant by hand, e.g.
  dezozevo-sim sql plant.db "UPDATE units SET status='HOLD' WHERE serial='SN24001-0004'"
Tables: parts, part_attributes, product_structure, stations, slaves, routes,
route_steps, work_orders, work_order_lines, work_order_statuses, units,
unit_data, calibration, results, result_units, messages, users, answers,
calls, call_texts, faults, meta.
)";

int usageError(const std::string& msg, const char* help) {
    std::cerr << "dezozevo-sim: " << msg << "\n\n" << help;
    return 2;
}

bool wantsHelp(const std::vector<std::string>& args) {
    for (const auto& a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

int cmdInit(const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        std::cout << kInitHelp;
        return 0;
    }
    dz::sim::InitOptions o;
    std::string path;
    bool haveGen = false, haveUser = false, havePassword = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](const char* name) -> std::string {
            if (i + 1 >= args.size()) throw std::runtime_error(std::string(name) + " needs a value");
            return args[++i];
        };
        if (a == "--generation") {
            std::string v = value("--generation");
            try {
                size_t used = 0;
                o.generation = std::stoi(v, &used);
                if (used != v.size()) throw std::invalid_argument(v);
            } catch (const std::exception&) {
                throw std::runtime_error("--generation must be 10, 20, 22, 23 or 24, not \"" + v + "\"");
            }
            haveGen = true;
        } else if (a == "--sample") {
            o.sample = true;
        } else if (a == "--user") {
            o.user = value("--user");
            haveUser = true;
        } else if (a == "--password") {
            o.password = value("--password");
            havePassword = true;
        } else if (a == "--database") {
            o.databaseName = value("--database");
        } else if (a == "--buffer-folder") {
            o.bufferFolder = value("--buffer-folder");
        } else if (a == "--force") {
            o.force = true;
        } else if (a.rfind("--", 0) == 0) {
            throw std::runtime_error("unknown option " + a);
        } else if (path.empty()) {
            path = a;
        } else {
            throw std::runtime_error("unexpected argument \"" + a + "\"");
        }
    }
    if (path.empty()) throw std::runtime_error("no PATH given");
    if (!haveGen) throw std::runtime_error("--generation is required");
    if (haveUser != havePassword) throw std::runtime_error("--user and --password go together");
    dz::sim::create(path, o);
    json out = {{"path", path},         {"generation", o.generation}, {"sample", o.sample},
                {"user", o.user},       {"database", o.databaseName}};
    std::cout << out.dump() << "\n";
    return 0;
}

int cmdAnswers(const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        std::cout << kAnswersHelp;
        return 0;
    }
    if (args.size() != 2) return usageError("answers needs PATH and FILE", kAnswersHelp);
    std::string text;
    if (args[1] == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(args[1], std::ios::binary);
        if (!in) throw std::runtime_error("cannot read " + args[1]);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    dz::sim::loadAnswers(args[0], text);
    return 0;
}

// One journal entry as a line of the table.
std::string tableRow(const json& e) {
    auto text = [](const json& v) { return v.is_null() ? std::string("-") : v.is_string() ? v.get<std::string>() : v.dump(); };
    std::string what = e["procedure"].is_string() ? e["procedure"].get<std::string>() : e["text"].get<std::string>();
    for (char& c : what)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    if (what.size() > 40) what = what.substr(0, 37) + "...";
    char ms[32] = "-";
    if (e["duration_ms"].is_number()) std::snprintf(ms, sizeof ms, "%.1f", e["duration_ms"].get<double>());
    char line[512];
    std::snprintf(line, sizeof line, "%-24s %-10s %-10s %-10s %-40s %6s %5s %8s  ", text(e["at"]).c_str(),
                  text(e["connection"]).c_str(), text(e["login"]).c_str(), text(e["station"]).c_str(), what.c_str(),
                  text(e["status"]).c_str(), text(e["rows"]).c_str(), ms);
    return line + (e["error"].is_null() ? std::string() : e["error"].get<std::string>());
}

long long wholeArg(const std::string& option, const std::string& v, long long min, long long max) {
    char* end = nullptr;
    long long n = std::strtoll(v.c_str(), &end, 10);
    if (v.empty() || *end || n < min || n > max)
        throw std::runtime_error(option + " must be a number from " + std::to_string(min) + " to " +
                                 std::to_string(max) + ", not \"" + v + "\"");
    return n;
}

int cmdCalls(const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        std::cout << kCallsHelp;
        return 0;
    }
    std::string path;
    bool clear = false, table = false, follow = false;
    dz::sim::JournalFilter f;
    std::optional<std::pair<long long, int>> value;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= args.size()) throw std::runtime_error(a + " needs a value");
            return args[++i];
        };
        if (a == "--clear") clear = true;
        else if (a == "--table") table = true;
        else if (a == "--follow") follow = true;
        else if (a == "--since") f.since = next();
        else if (a == "--procedure") f.procedure = next();
        else if (a == "--station") f.station = next();
        else if (a == "--last") f.limit = size_t(wholeArg(a, next(), 1, 100000000));
        else if (a == "--value") {
            long long id = wholeArg("--value ID", next(), 1, INT64_MAX);
            value = {id, int(wholeArg("--value N", next(), 0, 100000))};
        } else if (a.rfind("--", 0) == 0) return usageError("unknown option " + a, kCallsHelp);
        else if (path.empty()) path = a;
        else return usageError("unexpected argument \"" + a + "\"", kCallsHelp);
    }
    if (path.empty()) return usageError("calls needs PATH", kCallsHelp);
    if (value) {
        std::optional<std::string> v = dz::sim::journalValue(path, value->first, value->second);
        if (!v) throw std::runtime_error("entry " + std::to_string(value->first) + " has no parameter " +
                                         std::to_string(value->second) + ", or its value is no longer kept");
        std::cout << *v;
        return 0;
    }
    if (table)
        std::printf("%-24s %-10s %-10s %-10s %-40s %6s %5s %8s  %s\n", "TIME (UTC)", "CONNECTION", "LOGIN", "STATION",
                    "PROCEDURE OR BATCH", "STATUS", "ROWS", "MS", "ERROR");
    for (;;) {
        for (const auto& line : dz::sim::journal(path, f)) {
            json e = json::parse(line);
            f.afterId = e["id"].get<long long>();
            std::cout << (table ? tableRow(e) : line) << "\n";
        }
        std::cout.flush();
        if (!follow) break;
        f.since.clear();
        f.limit = 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    if (clear) dz::sim::clearJournal(path);
    return 0;
}

int cmdFault(const std::vector<std::string>& args) {
    if (wantsHelp(args) || args.empty()) {
        std::cout << kFaultHelp;
        return args.empty() ? 2 : 0;
    }
    const std::string& sub = args[0];
    if (args.size() < 2) return usageError("fault " + sub + " needs PATH", kFaultHelp);
    const std::string& path = args[1];
    if (sub == "list") {
        if (args.size() != 2) return usageError("fault list takes only PATH", kFaultHelp);
        for (const auto& line : dz::sim::faults(path)) std::cout << line << "\n";
        return 0;
    }
    if (sub == "clear") {
        if (args.size() > 3) return usageError("fault clear takes PATH and at most one ID", kFaultHelp);
        std::optional<long long> id;
        if (args.size() == 3) id = wholeArg("ID", args[2], 1, INT64_MAX);
        int n = dz::sim::clearFaults(path, id);
        if (id && n == 0) throw std::runtime_error("no fault schedule " + std::to_string(*id));
        std::cout << json({{"removed", n}}).dump() << "\n";
        return 0;
    }
    if (sub != "add") return usageError("unknown fault command \"" + sub + "\"", kFaultHelp);
    if (args.size() < 3) return usageError("fault add needs PATH and ACTION", kFaultHelp);
    json j = {{"action", args[2]}};
    for (size_t i = 3; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (i + 1 >= args.size()) return usageError(a.rfind("--", 0) == 0 ? a + " needs a value" : "unexpected argument \"" + a + "\"", kFaultHelp);
        const std::string& v = args[++i];
        if (a == "--procedure" || a == "--station" || a == "--login" || a == "--error" || a == "--from" || a == "--until")
            j[a.substr(2)] = v;
        else if (a == "--next" || a == "--every") j[a.substr(2)] = wholeArg(a, v, 1, 1000000000);
        else if (a == "--for") j["for_seconds"] = wholeArg(a, v, 1, 100000000);
        else if (a == "--status") j["status"] = wholeArg(a, v, INT32_MIN, INT32_MAX);
        else if (a == "--ms") {
            size_t dash = v.find('-', 1);
            if (dash == std::string::npos) j["ms"] = wholeArg(a, v, 0, 3600000);
            else j["ms"] = {wholeArg(a, v.substr(0, dash), 0, 3600000), wholeArg(a, v.substr(dash + 1), 0, 3600000)};
        } else return usageError("unknown option " + a, kFaultHelp);
    }
    std::cout << dz::sim::addFault(path, j.dump()) << "\n";
    return 0;
}

int cmdResults(const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        std::cout << kResultsHelp;
        return 0;
    }
    if (args.size() != 1) return usageError("results needs PATH", kResultsHelp);
    for (const auto& line : dz::sim::results(args[0])) std::cout << line << "\n";
    return 0;
}

int cmdSql(const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        std::cout << kSqlHelp;
        return 0;
    }
    if (args.size() != 2) return usageError("sql needs PATH and STATEMENT", kSqlHelp);
    for (const auto& line : dz::sim::query(args[0], args[1])) std::cout << line << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::cerr << kUsage;
        return 2;
    }
    std::string cmd = args[0];
    args.erase(args.begin());
    try {
        if (cmd == "--help" || cmd == "-h" || cmd == "help") {
            std::cout << kUsage;
            return 0;
        }
        if (cmd == "init") return cmdInit(args);
        if (cmd == "answers") return cmdAnswers(args);
        if (cmd == "calls") return cmdCalls(args);
        if (cmd == "fault") return cmdFault(args);
        if (cmd == "results") return cmdResults(args);
        if (cmd == "sql") return cmdSql(args);
        if (cmd == "serve") return dz::sim::serveCommand(args);
        std::cerr << "dezozevo-sim: unknown command \"" << cmd << "\"\n\n" << kUsage;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "dezozevo-sim " << cmd << ": " << e.what() << "\n";
        return 1;
    }
}
