// The embedded MES simulator: a small plant kept in one SQLite file that
// answers the stored procedures and text batches the component sends, as a
// database of schema generation 10, 20, 22, 23 or 24 would.
//
//   sim::InitOptions o;
//   o.generation = 24;
//   o.sample = true;
//   sim::create("/tmp/plant.db", o);
//   db::Request req = ...;                       // text, type, parameters, login
//   db::Response r = sim::execute("/tmp/plant.db", req);   // throws db::Error
//
// The file may be used by several processes at once: every call opens (or
// reuses, per thread) its own SQLite connection and waits for locks.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/db/db.h"
#include "platform/db/driver.h"

namespace dz::sim {

// The login every new database knows unless told otherwise.
inline constexpr const char* kDefaultUser = "station";
inline constexpr const char* kDefaultPassword = "station";

// Descriptions as the SQL Server client words them.
inline constexpr const char* kNoServer =
    "[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied.";
inline constexpr const char* kNetworkError =
    "[DBNETLIB][ConnectionRead (recv()).]General network error. Check your network documentation.";
inline constexpr const char* kTimeout = "Timeout expired";

// A canned answer asked for the connection to be cut in the middle of the
// call. In-process this is a failure like any other (its description is a
// network error); a network listener catches it and drops the socket.
class Dropped : public db::Error {
public:
    Dropped() : db::Error(kNetworkError, db::FailureKind::Network) {}
};

struct InitOptions {
    int generation = 10;                 // 10, 20, 22, 23 or 24
    bool sample = false;                 // fill in the sample plant
    std::string user = kDefaultUser;     // login of the station
    std::string password = kDefaultPassword;
    std::string databaseName = "MES";    // what objUTLGetSlaveConnection and the slave rows name
    bool force = false;                  // replace an existing file
    // Sample only: folder of the "TempFile" station (default: "buffer" beside
    // the database file); created when missing.
    std::string bufferFolder;
};

// Creates a simulator database. With `sample`, a slave database for line 2
// is created beside it ("<stem>-line2<ext>") and named in the master.
// Throws std::runtime_error with a readable message.
void create(const std::string& path, const InitOptions& options);

// Who sent a command, as the journal shows it.
struct Caller {
    std::string connection;      // "spid 53" over the network, "pid 1234" in-process
    std::string host, program;   // the client's host and program names
};

// What a fault schedule asked of the transport for one command.
struct CallOutcome {
    bool cutAnswer = false;  // send part of the answer, then close the connection
};

// Runs one command as the database server would: checks the login, applies
// the fault schedules, answers it (canned answer first, then the built-in
// procedure or batch) and records it in the journal. Throws db::Error
// (sim::Dropped for "drop"). `cancel`, when given, stops a delay early (a
// network client's attention); the call then fails as a time-out.
// Without `outcome` a "cut" schedule fails the call as a broken connection
// after it ran (in-process there is no answer to cut).
db::Response execute(const std::string& path, db::Request& request,
                     const std::atomic<bool>* cancel = nullptr);
db::Response execute(const std::string& path, db::Request& request, const std::atomic<bool>* cancel,
                     const Caller& caller, CallOutcome* outcome);

// The description of the failed login when a "refuse-login" schedule refuses
// `user` now (counting it), else nullopt. execute() checks it itself; a
// listener that checks passwords on its own asks here.
std::optional<std::string> refusedLogin(const std::string& path, const std::string& user);

// Canned answers: the JSON text {"procedures": {"NAME": ANSWER, ...}}
// replaces all earlier ones; an empty text (or only blanks) removes them.
// Throws std::runtime_error naming what is wrong, and changes nothing then.
void loadAnswers(const std::string& path, const std::string& json);

// The journal keeps the newest kJournalEntries commands. A parameter value
// over 64 KB is journaled as its size and digest; its text is kept apart
// (journalValue) while all kept texts stay under 64 MB.
inline constexpr long long kJournalEntries = 20000;

struct JournalFilter {
    long long afterId = 0;       // entries with a greater id only
    std::string since;           // UTC time "2026-05-04T10:00:00Z" or an age "30s", "5m", "2h"
    std::string procedure;       // procedure (or batch text) without regard to case
    std::string station;
    size_t limit = 0;            // the newest this many (0: all)
};

// The journal, oldest first, one JSON object per command: {"id", "at" (UTC,
// milliseconds), "connection", "login", "host", "program", "station",
// "type": "procedure"|"text", "text", "procedure", "params": [{"name",
// "type", "direction", "size", "value"} or, for a long value, {..., "bytes",
// "digest", "kept"}], "status", "rows", "duration_ms", "error"}.
// Throws std::runtime_error for a bad filter or file.
std::vector<std::string> journal(const std::string& path, const JournalFilter& filter = {});
// The whole value of parameter `param` (0-based, as in "params") of entry `id`.
std::optional<std::string> journalValue(const std::string& path, long long id, int param);
void clearJournal(const std::string& path);

// Fault schedules, kept in the file so that every process applies them.
// A schedule is a JSON object:
//   "action": "fail" | "latency" | "timeout" | "cut" | "refuse-login"
//   "procedure", "station", "login": whom it hits (absent: any)
//   "next": N        only the next N matching calls
//   "every": K       every K-th matching call
//   "from", "until": UTC times; "for_seconds": S  (from "from" or now)
//   "error": text, "status": N   (fail: the failure's description, or the
//                                 return status the call answers with)
//   "ms": N or [MIN, MAX]        (latency; timeout: how long at most)
// addFault checks it and returns it as stored (with "id"); throws
// std::runtime_error naming what is wrong.
std::string addFault(const std::string& path, const std::string& schedule);
std::vector<std::string> faults(const std::string& path);  // with "id", "hits", "seen"
// Removes one schedule (nullopt: all); returns how many were removed.
int clearFaults(const std::string& path, std::optional<long long> id = std::nullopt);

// Stored results, oldest first, one JSON object each: {"test_id", "serial",
// "station", "status", "procedure", "received", "enter_time", "exit_time",
// "document"}.
std::vector<std::string> results(const std::string& path);

// Runs one SQL statement of the operator's on the file and returns its rows
// as JSON objects (maintenance: change the plant without a new command).
std::vector<std::string> query(const std::string& path, const std::string& sql);

// The parameter names of a built-in procedure of the file's generation, in
// order (none for another procedure).
std::vector<std::string> procedureParameters(const std::string& path, const std::string& procedure);

// The generation the file declares (10, 20, 22, 23 or 24).
int generation(const std::string& path);

// sp_executesql's statement with its parameter values put in as literals in
// place of their @names (outside string literals and bracketed names). A
// value without a name takes the name at its place in `declarations`
// ("@a INT, @b NVARCHAR(10) OUTPUT").
std::string inlineParameters(const std::string& statement, const std::string& declarations,
                             const std::vector<std::pair<std::string, db::Value>>& values);

// Closes the calling thread's connections to simulator files (a server
// thread done with its client; the next call opens them again).
void releaseConnections();

}  // namespace dz::sim
