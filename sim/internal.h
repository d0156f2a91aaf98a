// Pieces shared by the simulator's sources: a thin SQLite layer, a small XML
// reader, and the calling convention of the built-in procedures.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db/db.h"
#include "platform/db/driver.h"
#include "sim/sim.h"

#include <nlohmann/json.hpp>
#include "platform/xml/escape.h"

namespace dz::sim {

// ---- SQLite -------------------------------------------------------------

// Throws db::Error for the SQLite result `rc` (a lock that is not released
// in time reads as SQL Server's lock time-out).
[[noreturn]] void sqliteFail(sqlite3* db, int rc);

// A statement on a connection of the per-thread cache (connect()) is
// prepared once per connection and reused; on any other it lives as long as
// the object.
struct PreparedStmt;

class Stmt {
public:
    Stmt(sqlite3* db, std::string_view sql);
    ~Stmt();
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& bind(int i, std::nullptr_t);
    Stmt& bind(int i, long long v);
    Stmt& bind(int i, int v) { return bind(i, (long long)v); }
    Stmt& bind(int i, double v);
    Stmt& bind(int i, std::string_view v);
    Stmt& bind(int i, const char* v) { return bind(i, std::string_view(v)); }
    Stmt& bind(int i, const std::string& v) { return bind(i, std::string_view(v)); }
    Stmt& bind(int i, const std::optional<std::string>& v);
    Stmt& bind(int i, const db::Value& v);
    // Binds a text without copying it: it must outlive the statement's run.
    Stmt& bindRef(int i, std::string_view v);

    template <typename... A>
    Stmt& with(A&&... args) {
        int i = 1;
        (bind(i++, std::forward<A>(args)), ...);
        return *this;
    }

    bool step();  // true while a row is there
    void run();   // steps to the end
    void reset();

    int columns() const;
    std::string columnName(int c) const;
    bool isNull(int c) const;
    std::string text(int c) const;                  // "" for Null
    std::optional<std::string> optText(int c) const;
    long long integer(int c) const;
    db::Value value(int c) const;                   // Null, whole number, double or text
    std::string_view rest() const { return rest_; }  // the text after the first statement

private:
    sqlite3* db_;
    sqlite3_stmt* st_ = nullptr;
    PreparedStmt* shared_ = nullptr;  // set when st_ belongs to the connection's cache
    std::string_view rest_;
};

void execSql(sqlite3* db, std::string_view sql);

// A write transaction taken at once (BEGIN IMMEDIATE), rolled back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db);
    ~Transaction();
    void commit();

private:
    sqlite3* db_;
    bool open_ = true;
};

// The connection of the calling thread to the file at `path`, opened on
// first use and reopened when the file was replaced. A missing file or one
// that is no simulator database fails as an unreachable server.
sqlite3* connect(const std::string& path);

std::string metaValue(sqlite3* db, std::string_view key, std::string_view def = "");
std::string nowText();  // local time "yyyy-mm-dd hh:mm:ss"

// ---- the plant ------------------------------------------------------------

void createSchema(sqlite3* db);
// Brings a file of an older schema up to date (once, whichever process is first).
void upgradeSchema(sqlite3* db);
void insertMessages(sqlite3* db);
// Fills the sample plant; `bufferFolder` is the "TempFile" destination,
// `slave` (server name, empty for none) the line-2 database.
struct SampleSlave {
    std::string serverName, databaseName, user, password;
};
void insertSample(sqlite3* db, const std::string& bufferFolder, const std::optional<SampleSlave>& slave);

// ---- XML ------------------------------------------------------------------

struct XmlElement {
    std::string name;       // local name
    std::string ns;         // namespace URI, "" for none
    std::vector<std::pair<std::string, std::string>> attrs;
    std::string text;       // the concatenated text content of the whole subtree
    std::vector<XmlElement> children;

    // Attribute by name, without regard to case.
    const std::string* attr(std::string_view n) const;
    // Every element below (and including) this one with the local name `n`, in document order.
    void collect(std::string_view n, std::vector<const XmlElement*>& out) const;
};

// Parses a text; nullopt when it is not well-formed. No network, no entity expansion.
std::optional<XmlElement> parseXml(std::string_view text);

// What the simulator keeps of a result document, read in one pass without
// building its tree: the root's STATION and, in document order, the ID and
// STATUS of every DUT element (names without regard to case, as
// XmlElement::attr and collect match them). nullopt when not well-formed.
struct ResultFacts {
    struct Dut {
        std::optional<std::string> id, status;
    };
    std::optional<std::string> station;
    std::vector<Dut> duts;
};
std::optional<ResultFacts> readResult(std::string_view text);
inline std::string xmlEscape(std::string_view s) { return xml::escaped(s); }

// ---- procedures -----------------------------------------------------------

enum GenMask : unsigned {
    G10 = 1,
    G20 = 2,
    G22 = 4,
    G23 = 8,
    G24 = 16,
    GNew = G20 | G22 | G23 | G24,
    GAll = G10 | GNew,
};
unsigned genBit(int generation);

// One call of a procedure as its body sees it: inputs by parameter name,
// outputs written back, a record set, a return status.
struct ProcCall {
    sqlite3* db = nullptr;
    int generation = 10;
    const db::Request* request = nullptr;  // the connection that called
    std::string name;

    std::map<std::string, const db::Value*> in;  // lower-cased parameter name -> the caller's value
    std::map<std::string, db::Parameter*> out;  // lower-cased name -> the caller's output parameter

    std::optional<std::vector<std::string>> columns;  // set: a record set is returned
    std::vector<std::vector<db::Value>> rows;
    int ret = 0;

    // Input as text; nullopt for Null.
    std::optional<std::string> text(std::string_view param) const;
    // A text input without a copy, valid during the call; nullopt for Null
    // and for a value of another type.
    std::optional<std::string_view> textView(std::string_view param) const;
    std::string textOr(std::string_view param, std::string_view def) const;
    void output(std::string_view param, db::Value v);
    void table(std::vector<std::string> cols);
    void row(std::vector<db::Value> r);
    void errorRow(int code);  // the one-column "ERROR" shape
    // XML text in pieces, one a row: "strXML" with a sequence number beside
    // it (a record set of one column would read as the "ERROR" shape).
    void pieces();
    void piece(std::string text);
};

struct ParamSpec {
    std::string name;
    bool output = false;
    bool optional = false;  // has a default in the procedure
};

struct ProcDef {
    std::string name;
    unsigned generations;
    std::vector<ParamSpec> params;
    void (*body)(ProcCall&);
};

const std::vector<ProcDef>& builtinProcedures();
// The built-in procedure of that name that exists in the generation, or null.
const ProcDef* findProcedure(std::string_view name, int generation);
// Tables the schema probe looks for, by generation.
std::vector<std::string> systemTables(int generation);

// ---- execution ------------------------------------------------------------

// One actual parameter of a call: the caller's parameter and whether it
// binds by name (a named parameter) or by position.
struct ActualParam {
    db::Parameter* param;
    bool byName;
};

struct CallResult {
    std::optional<db::Recordset> recordset;
    int ret = 0;
};

// One command being answered: the file, its generation, the caller.
struct Session {
    sqlite3* db = nullptr;
    int generation = 10;
    const db::Request* request = nullptr;
    const std::atomic<bool>* cancel = nullptr;
};

// Runs a procedure by name (canned answer first), binding `actuals`.
// A declared return-value parameter receives the status, also when the call
// then fails (a procedure that sets its status and raises an error).
CallResult runProcedure(Session& s, std::string_view name, std::vector<ActualParam>& actuals,
                        db::Parameter* returnParam);

// Runs a text batch (the probe batches, `exec`, `select` of constants).
db::Response runBatch(Session& s, std::string_view text);

// Parameter names of a procedure as syscolumns lists them (built-ins only).
std::vector<std::string> procedureColumns(Session& s, std::string_view name);

// "dbo.name", "[dbo].[name]", "[name]" and "name;1" all name the procedure `name`.
std::string procedureName(std::string_view raw);

// Canned-answer lookup: the JSON text of the answer, or nullopt.
std::optional<std::string> cannedAnswer(sqlite3* db, std::string_view name);
std::vector<std::string> cannedNames(sqlite3* db);

// ---- journal and fault schedules -------------------------------------------

long long nowMs();                          // UTC, milliseconds since 1970
std::string utcText(long long ms);          // "2026-05-04T10:00:00.123Z"
std::optional<long long> parseUtc(std::string_view text);
// A UTC time, an age ("30s", "5m", "2h", "1d": before `now`) or "+S" (seconds after `now`).
std::optional<long long> parseWhen(std::string_view text, long long now);
std::string digest(std::string_view s);
std::string lowerAscii(std::string_view s);
Caller inProcessCaller();
// The station a parameter carries, by the procedure's parameter name.
std::optional<std::string> stationOf(std::string_view param, const db::Value& v);

// One command's journal entry: filled in as the command runs, recorded once
// it is answered or failed.
struct JournalEntry {
    JournalEntry(const db::Request& req, const Caller& caller, const ProcDef* def);
    void record(sqlite3* db);

    long long startMs;
    std::chrono::steady_clock::time_point start;
    Caller caller;
    std::string login, type, text;
    std::optional<std::string> procedure, station, error;
    std::optional<int> status;
    std::optional<long long> rows;
    nlohmann::json params;
    std::vector<std::pair<size_t, const std::string*>> longValues;  // index in params, the caller's text
};

// Applies the schedules that match a call: waits, or throws db::Error (a
// failure, a time-out); sets `cut`, or `status` for an answer of that status.
struct FaultEffect {
    bool cut = false;
    std::optional<int> status;
};
void applyFaults(Session& s, const std::optional<std::string>& procedure, const std::optional<std::string>& station,
                 FaultEffect& effect);
// The failed login's description when a schedule refuses `user` now.
std::optional<std::string> loginRefusal(sqlite3* db, const std::string& user);
// Waits `ms`, failing as a time-out once the command's limit has passed or
// its caller cancelled.
void delay(Session& s, long long ms);

// The passing status words of a test result.
bool isPassWord(std::string_view status);

}  // namespace dz::sim
