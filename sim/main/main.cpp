// dezozevo-sim: creates and inspects MES simulator databases.
#include <cstring>
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
  calls PATH [--clear]  print the journal: every command the database received
  results PATH          print the stored test results with their test IDs
  serve PATH [--host H] [--port N] [--max-connections N] [--login-timeout S] [--trace]
        [--tls-cert FILE --tls-key FILE [--tls-require]]
                        answer SQL Server clients (TDS 7.4, TLS with a certificate)
                        on a loopback port; --port 0 picks a free one; prints
                        "listening on HOST:PORT"
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

const char* const kCallsHelp = R"(usage: dezozevo-sim calls PATH [--clear]

Prints the journal, oldest first, one JSON object per command received:
  {"text": ..., "type": "procedure" or "text",
   "params": [{"name", "type", "direction", "size", "value"}]}
type and direction are the client's codes (200 varchar, 201 long varchar,
202 nvarchar, 3 integer, 5 double, 135 timestamp; 1 input, 2 output,
3 input-output, 4 return value).

  --clear   empty the journal after printing it
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
calls, meta.
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

int cmdCalls(const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        std::cout << kCallsHelp;
        return 0;
    }
    std::string path;
    bool clear = false;
    for (const auto& a : args) {
        if (a == "--clear") clear = true;
        else if (a.rfind("--", 0) == 0) return usageError("unknown option " + a, kCallsHelp);
        else if (path.empty()) path = a;
        else return usageError("unexpected argument \"" + a + "\"", kCallsHelp);
    }
    if (path.empty()) return usageError("calls needs PATH", kCallsHelp);
    for (const auto& line : dz::sim::journal(path)) std::cout << line << "\n";
    if (clear) dz::sim::clearJournal(path);
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
