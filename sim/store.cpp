// The simulator's file: SQLite access, the per-thread connection cache, the
// schema, and the operator's views (journal, results, canned answers).
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "platform/text.h"
#include "sim/internal.h"
#include "sim/sim.h"

namespace dz::sim {

namespace fs = std::filesystem;
using json = nlohmann::json;

// ---- SQLite -------------------------------------------------------------

void sqliteFail(sqlite3* db, int rc) {
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) throw db::Error("Lock request time out period exceeded.");
    std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    throw db::Error("Simulator database error: " + msg);
}

struct PreparedStmt {
    sqlite3_stmt* stmt = nullptr;
    size_t tail = 0;  // where the text after the first statement begins
    bool inUse = false;
};

namespace {
// The statements of a cached connection, by SQL text; null for any other.
std::unordered_map<std::string, PreparedStmt>* preparedOf(sqlite3* db);
}  // namespace

Stmt::Stmt(sqlite3* db, std::string_view sql) : db_(db) {
    std::unordered_map<std::string, PreparedStmt>* prepared = preparedOf(db);
    PreparedStmt* slot = nullptr;
    // The built-in procedures use a few hundred texts at most; past that the
    // texts are someone else's and are not kept.
    constexpr size_t kMaxPrepared = 512;
    if (prepared && (prepared->size() < kMaxPrepared || prepared->count(std::string(sql)))) {
        slot = &(*prepared)[std::string(sql)];
        if (slot->stmt && !slot->inUse) {
            st_ = slot->stmt;
            shared_ = slot;
            slot->inUse = true;
            rest_ = sql.substr(slot->tail);
            return;
        }
    }
    const char* tail = nullptr;
    // A statement of the connection's own is kept: it is prepared once.
    const bool keep = slot && !slot->stmt;
    int rc = sqlite3_prepare_v3(db, sql.data(), int(sql.size()), keep ? SQLITE_PREPARE_PERSISTENT : 0, &st_, &tail);
    if (rc != SQLITE_OK) {
        if (keep) prepared->erase(std::string(sql));
        sqliteFail(db, rc);
    }
    if (tail) rest_ = sql.substr(size_t(tail - sql.data()));
    if (keep) {
        slot->stmt = st_;
        slot->tail = tail ? size_t(tail - sql.data()) : sql.size();
        slot->inUse = true;
        shared_ = slot;
    }
}

Stmt::~Stmt() {
    if (!shared_) {
        sqlite3_finalize(st_);
        return;
    }
    reset();
    shared_->inUse = false;
}

Stmt& Stmt::bind(int i, std::nullptr_t) {
    sqlite3_bind_null(st_, i);
    return *this;
}
Stmt& Stmt::bind(int i, long long v) {
    sqlite3_bind_int64(st_, i, v);
    return *this;
}
Stmt& Stmt::bind(int i, double v) {
    sqlite3_bind_double(st_, i, v);
    return *this;
}
Stmt& Stmt::bind(int i, std::string_view v) {
    sqlite3_bind_text(st_, i, v.data(), int(v.size()), SQLITE_TRANSIENT);
    return *this;
}
Stmt& Stmt::bindRef(int i, std::string_view v) {
    sqlite3_bind_text(st_, i, v.data(), int(v.size()), SQLITE_STATIC);
    return *this;
}
Stmt& Stmt::bind(int i, const std::optional<std::string>& v) {
    return v ? bind(i, std::string_view(*v)) : bind(i, nullptr);
}
Stmt& Stmt::bind(int i, const db::Value& v) {
    if (v.isNull()) return bind(i, nullptr);
    if (v.isInteger()) return bind(i, std::get<long long>(v.raw()));
    if (v.isDouble()) return bind(i, std::get<double>(v.raw()));
    if (v.isBool()) return bind(i, (long long)(std::get<bool>(v.raw()) ? 1 : 0));
    return bind(i, std::string_view(std::get<std::string>(v.raw())));
}

bool Stmt::step() {
    int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    sqliteFail(db_, rc);
}

void Stmt::run() {
    while (step()) {
    }
}

void Stmt::reset() {
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
}

int Stmt::columns() const { return sqlite3_column_count(st_); }
std::string Stmt::columnName(int c) const {
    const char* n = sqlite3_column_name(st_, c);
    return n ? n : "";
}
bool Stmt::isNull(int c) const { return sqlite3_column_type(st_, c) == SQLITE_NULL; }
std::string Stmt::text(int c) const {
    const unsigned char* t = sqlite3_column_text(st_, c);
    return t ? std::string(reinterpret_cast<const char*>(t), size_t(sqlite3_column_bytes(st_, c))) : std::string();
}
std::optional<std::string> Stmt::optText(int c) const {
    if (isNull(c)) return std::nullopt;
    return text(c);
}
long long Stmt::integer(int c) const { return sqlite3_column_int64(st_, c); }
db::Value Stmt::value(int c) const {
    switch (sqlite3_column_type(st_, c)) {
    case SQLITE_NULL: return db::Value();
    case SQLITE_INTEGER: return db::Value(integer(c));
    case SQLITE_FLOAT: return db::Value(sqlite3_column_double(st_, c));
    default: return db::Value(text(c));
    }
}

void execSql(sqlite3* db, std::string_view sql) {
    std::string s(sql);
    char* err = nullptr;
    int rc = sqlite3_exec(db, s.c_str(), nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        std::string msg = err ? err : sqlite3_errstr(rc);
        sqlite3_free(err);
        if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) throw db::Error("Lock request time out period exceeded.");
        throw db::Error("Simulator database error: " + msg);
    }
}

Transaction::Transaction(sqlite3* db) : db_(db) { execSql(db, "BEGIN IMMEDIATE"); }
Transaction::~Transaction() {
    if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}
void Transaction::commit() {
    execSql(db_, "COMMIT");
    open_ = false;
}

std::string metaValue(sqlite3* db, std::string_view key, std::string_view def) {
    Stmt q(db, "SELECT value FROM meta WHERE key = ?");
    q.with(key);
    if (q.step()) return q.text(0);
    return std::string(def);
}

std::string nowText() { return text::localStamp("%Y-%m-%d %H:%M:%S"); }

// ---- connections ----------------------------------------------------------

namespace {

constexpr int kBusyTimeoutMs = 10000;

struct Cached {
    sqlite3* db = nullptr;
    dev_t dev = 0;
    ino_t ino = 0;
    std::unordered_map<std::string, PreparedStmt> prepared;

    // Its statements first, or the file stays open.
    void close() {
        for (auto& [sql, p] : prepared) sqlite3_finalize(p.stmt);
        prepared.clear();
        sqlite3_close_v2(db);
    }
};

struct ConnectionCache {
    std::map<std::string, Cached> byPath;
    ~ConnectionCache() { clear(); }
    void clear() {
        for (auto& [p, c] : byPath) c.close();
        byPath.clear();
    }
    void drop(const std::string& path) {
        auto it = byPath.find(path);
        if (it == byPath.end()) return;
        it->second.close();
        byPath.erase(it);
    }
};

ConnectionCache& cache() {
    thread_local ConnectionCache c;
    return c;
}

std::unordered_map<std::string, PreparedStmt>* preparedOf(sqlite3* db) {
    for (auto& [path, c] : cache().byPath)
        if (c.db == db) return &c.prepared;
    return nullptr;
}

sqlite3* openFile(const std::string& path, int flags) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db, 0);
    // With the write-ahead log this loses no committed command on a crash of
    // the process, only perhaps the last ones on a power cut.
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    return db;
}

bool isSimulatorFile(sqlite3* db) {
    try {
        Stmt q(db, "SELECT value FROM meta WHERE key = 'generation'");
        return q.step() && genBit(std::atoi(q.text(0).c_str())) != 0;
    } catch (const db::Error&) {
        return false;
    }
}

}  // namespace

sqlite3* connect(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        cache().drop(path);
        throw db::Error(kNoServer, db::FailureKind::NoServer);
    }
    auto& c = cache();
    auto it = c.byPath.find(path);
    if (it != c.byPath.end()) {
        if (it->second.dev == st.st_dev && it->second.ino == st.st_ino) return it->second.db;
        c.drop(path);
    }
    sqlite3* db = openFile(path, SQLITE_OPEN_READWRITE);
    if (!db) throw db::Error(kNoServer, db::FailureKind::NoServer);
    if (!isSimulatorFile(db)) {
        sqlite3_close_v2(db);
        throw db::Error(kNoServer, db::FailureKind::NoServer);
    }
    c.byPath[path] = Cached{db, st.st_dev, st.st_ino, {}};
    try {
        upgradeSchema(db);
    } catch (...) {
        c.drop(path);
        throw;
    }
    return db;
}

int generation(const std::string& path) {
    sqlite3* db = connect(path);
    return std::stoi(metaValue(db, "generation", "10"));
}

void releaseConnections() { cache().clear(); }

// ---- schema ---------------------------------------------------------------

namespace {

// What schema 2 added to schema 1: the journal's caller, outcome and long
// texts, and the fault schedules. New files get it at creation, older ones
// when first opened.
const char* const kSchema2 = R"SQL(
ALTER TABLE calls ADD COLUMN connection TEXT;
ALTER TABLE calls ADD COLUMN host TEXT;
ALTER TABLE calls ADD COLUMN program TEXT;
ALTER TABLE calls ADD COLUMN station TEXT COLLATE NOCASE;
ALTER TABLE calls ADD COLUMN procedure TEXT COLLATE NOCASE;
ALTER TABLE calls ADD COLUMN status INTEGER;
ALTER TABLE calls ADD COLUMN rows INTEGER;
ALTER TABLE calls ADD COLUMN duration_ms REAL;
ALTER TABLE calls ADD COLUMN error TEXT;
CREATE TABLE call_texts(call_id INTEGER NOT NULL, param INTEGER NOT NULL, size INTEGER NOT NULL, text TEXT NOT NULL);
CREATE INDEX call_texts_call ON call_texts(call_id, param);
CREATE TABLE faults(
  id INTEGER PRIMARY KEY AUTOINCREMENT, action TEXT NOT NULL,
  procedure TEXT COLLATE NOCASE, station TEXT COLLATE NOCASE, login TEXT COLLATE NOCASE,
  error TEXT, status INTEGER, min_ms INTEGER, max_ms INTEGER,
  remaining INTEGER, every INTEGER, from_ms INTEGER, until_ms INTEGER,
  seen INTEGER NOT NULL DEFAULT 0, hits INTEGER NOT NULL DEFAULT 0, created TEXT);
)SQL";

}  // namespace

void upgradeSchema(sqlite3* db) {
    if (metaValue(db, "schema", "1") != "1") return;
    Transaction tx(db);
    if (metaValue(db, "schema", "1") != "1") return;  // another process was first
    execSql(db, kSchema2);
    execSql(db, "INSERT OR REPLACE INTO meta(key, value) VALUES('schema', '2')");
    tx.commit();
}

void createSchema(sqlite3* db) {
    execSql(db, R"SQL(
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE users(name TEXT PRIMARY KEY COLLATE NOCASE, password TEXT NOT NULL);

CREATE TABLE parts(
  part_number TEXT NOT NULL COLLATE NOCASE, revision TEXT NOT NULL COLLATE NOCASE,
  description TEXT, family TEXT, released TEXT,
  PRIMARY KEY(part_number, revision));
CREATE TABLE part_attributes(
  part_number TEXT NOT NULL COLLATE NOCASE, revision TEXT NOT NULL COLLATE NOCASE,
  seq INTEGER NOT NULL, name TEXT NOT NULL, value TEXT,
  PRIMARY KEY(part_number, revision, name));
CREATE TABLE product_structure(
  parent_part TEXT NOT NULL COLLATE NOCASE, parent_revision TEXT NOT NULL COLLATE NOCASE,
  seq INTEGER NOT NULL, child_part TEXT NOT NULL COLLATE NOCASE, child_revision TEXT NOT NULL COLLATE NOCASE,
  quantity INTEGER NOT NULL DEFAULT 1,
  PRIMARY KEY(parent_part, parent_revision, child_part, child_revision));

CREATE TABLE slaves(
  name TEXT PRIMARY KEY COLLATE NOCASE, server_name TEXT NOT NULL, database_name TEXT NOT NULL,
  user_name TEXT NOT NULL, user_password TEXT NOT NULL);  -- password in scrambled form
CREATE TABLE stations(
  name TEXT PRIMARY KEY COLLATE NOCASE, description TEXT, line TEXT,
  slave TEXT COLLATE NOCASE REFERENCES slaves(name),
  delivery_method TEXT NOT NULL DEFAULT 'Database', delivery_dest TEXT NOT NULL DEFAULT '');

CREATE TABLE routes(name TEXT PRIMARY KEY COLLATE NOCASE, description TEXT);
CREATE TABLE route_steps(
  route TEXT NOT NULL COLLATE NOCASE, step INTEGER NOT NULL, station TEXT NOT NULL COLLATE NOCASE,
  PRIMARY KEY(route, step, station));

CREATE TABLE work_order_statuses(id INTEGER PRIMARY KEY, name TEXT NOT NULL);
CREATE TABLE work_orders(
  id INTEGER PRIMARY KEY, number TEXT NOT NULL UNIQUE COLLATE NOCASE,
  part_number TEXT NOT NULL COLLATE NOCASE, revision TEXT COLLATE NOCASE, route TEXT COLLATE NOCASE,
  status_id INTEGER NOT NULL, order_qty INTEGER, started_qty INTEGER NOT NULL DEFAULT 0,
  completed_qty INTEGER NOT NULL DEFAULT 0,
  detail1 TEXT, detail2 TEXT, detail3 TEXT, detail4 TEXT, detail5 TEXT);
CREATE TABLE work_order_lines(
  work_order_id INTEGER NOT NULL REFERENCES work_orders(id), station TEXT NOT NULL COLLATE NOCASE,
  priority INTEGER, line_qty INTEGER, line_start_qty INTEGER NOT NULL DEFAULT 0,
  line_ready_qty INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(work_order_id, station));

-- status: ACTIVE, HOLD, SCRAPPED, COMPLETE, TEMP; step: the route step to do next
CREATE TABLE units(
  serial TEXT PRIMARY KEY COLLATE NOCASE, work_order_id INTEGER REFERENCES work_orders(id),
  step INTEGER, status TEXT NOT NULL DEFAULT 'ACTIVE', fail_count INTEGER NOT NULL DEFAULT 0,
  created TEXT, updated TEXT);
CREATE TABLE unit_data(
  id INTEGER PRIMARY KEY AUTOINCREMENT, serial TEXT NOT NULL COLLATE NOCASE,
  group_name TEXT, name TEXT NOT NULL, value TEXT, type TEXT NOT NULL DEFAULT 'char');
CREATE INDEX unit_data_serial ON unit_data(serial);

CREATE TABLE calibration(
  station TEXT NOT NULL COLLATE NOCASE, fixture TEXT NOT NULL DEFAULT '' COLLATE NOCASE,
  seq INTEGER NOT NULL DEFAULT 0, name TEXT NOT NULL, value TEXT, unit TEXT, due TEXT, updated TEXT,
  PRIMARY KEY(station, fixture, name));

CREATE TABLE results(
  test_id INTEGER PRIMARY KEY AUTOINCREMENT, serial TEXT COLLATE NOCASE, station TEXT, status TEXT,
  procedure TEXT, received TEXT, enter_time TEXT, exit_time TEXT, document TEXT);
CREATE TABLE result_units(
  test_id INTEGER NOT NULL REFERENCES results(test_id), serial TEXT NOT NULL COLLATE NOCASE, status TEXT);
CREATE INDEX result_units_serial ON result_units(serial);

CREATE TABLE messages(
  language TEXT NOT NULL COLLATE NOCASE, type TEXT NOT NULL COLLATE NOCASE, code TEXT NOT NULL,
  text TEXT NOT NULL, PRIMARY KEY(language, type, code));

CREATE TABLE answers(name TEXT PRIMARY KEY COLLATE NOCASE, answer TEXT NOT NULL);
CREATE TABLE calls(
  id INTEGER PRIMARY KEY AUTOINCREMENT, at TEXT NOT NULL, login TEXT, type TEXT NOT NULL,
  text TEXT NOT NULL, params TEXT NOT NULL);
)SQL");
    execSql(db, kSchema2);
    execSql(db, R"SQL(
INSERT INTO work_order_statuses VALUES
  (1, 'Planned'), (2, 'Released'), (3, 'Active'), (4, 'Completed'),
  (5, 'Force-Closed'), (6, 'Shipped'), (7, 'Hold'), (8, 'Canceled');
)SQL");
}

namespace {

void removeDatabaseFiles(const std::string& path) {
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) fs::remove(path + suffix, ec);
}

void createOne(const std::string& path, const InitOptions& o, const std::vector<std::pair<std::string, std::string>>& users,
               const std::string& role, const std::string& databaseName, const std::string& bufferFolder,
               const std::optional<SampleSlave>& slave) {
    removeDatabaseFiles(path);
    sqlite3* db = openFile(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (!db) throw std::runtime_error("cannot create " + path);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> guard(db, sqlite3_close_v2);
    try {
        execSql(db, "PRAGMA journal_mode=WAL");
        execSql(db, "PRAGMA synchronous=OFF");  // a half-created file is removed anyway
        Transaction tx(db);
        createSchema(db);
        Stmt meta(db, "INSERT INTO meta(key, value) VALUES(?, ?)");
        for (auto [k, v] : std::vector<std::pair<std::string, std::string>>{
                 {"generation", std::to_string(o.generation)},
                 {"database", databaseName},
                 {"role", role},
                 {"created", nowText()},
                 {"schema", "2"}}) {
            meta.with(k, v).run();
            meta.reset();
        }
        Stmt u(db, "INSERT OR REPLACE INTO users(name, password) VALUES(?, ?)");
        for (const auto& [name, pw] : users) {
            u.with(name, pw).run();
            u.reset();
        }
        insertMessages(db);
        if (o.sample) insertSample(db, bufferFolder, slave);
        tx.commit();
    } catch (const db::Error& e) {
        guard.reset();
        removeDatabaseFiles(path);
        throw std::runtime_error(e.description());
    }
}

}  // namespace

void create(const std::string& path, const InitOptions& o) {
    static const int kGenerations[] = {10, 20, 22, 23, 24};
    if (std::find(std::begin(kGenerations), std::end(kGenerations), o.generation) == std::end(kGenerations))
        throw std::runtime_error("generation must be 10, 20, 22, 23 or 24, not " + std::to_string(o.generation));
    if (path.empty()) throw std::runtime_error("no database path given");
    if (o.user.empty()) throw std::runtime_error("the user name must not be empty");
    std::error_code ec;
    if (fs::exists(path, ec) && !o.force)
        throw std::runtime_error(path + " already exists (use --force to replace it)");
    fs::path abs = fs::absolute(path, ec);
    if (abs.has_parent_path() && !fs::is_directory(abs.parent_path(), ec))
        throw std::runtime_error("the folder of " + path + " does not exist");
    cache().drop(path);

    std::vector<std::pair<std::string, std::string>> users{{o.user, o.password}};
    std::optional<SampleSlave> slave;
    std::string buffer;
    if (o.sample) {
        buffer = o.bufferFolder.empty() ? (abs.parent_path() / "buffer").string()
                                        : fs::absolute(o.bufferFolder, ec).string();
        fs::create_directories(buffer, ec);
        if (ec) throw std::runtime_error("cannot create the buffer folder " + buffer + ": " + ec.message());

        // Line 2 has a database of its own, reached with a login of its own
        // (generation 10) or with the master's login (generation 24).
        fs::path slavePath = abs.parent_path() / (abs.stem().string() + "-line2" + abs.extension().string());
        slave = SampleSlave{"sim:" + slavePath.string(), o.databaseName + "_LINE2", "line2", "line2pw"};
        std::vector<std::pair<std::string, std::string>> slaveUsers = users;
        slaveUsers.emplace_back(slave->user, slave->password);
        if (fs::exists(slavePath, ec) && !o.force)
            throw std::runtime_error(slavePath.string() + " already exists (use --force to replace it)");
        cache().drop(slavePath.string());
        createOne(slavePath.string(), o, slaveUsers, "slave", slave->databaseName, buffer, std::nullopt);
    }
    createOne(path, o, users, "master", o.databaseName, buffer, slave);
}

// ---- canned answers -------------------------------------------------------

namespace {

void checkValue(const json& v, const std::string& where) {
    if (v.is_null() || v.is_string() || v.is_number() || v.is_boolean()) return;
    throw std::runtime_error(where + ": a value must be text, a number, true/false or null");
}

void checkAnswer(const std::string& name, const json& a) {
    std::string at = "procedure \"" + name + "\"";
    if (!a.is_object()) throw std::runtime_error(at + ": the answer must be an object");
    static const char* const kKeys[] = {"columns", "rows", "return", "outputs", "fail", "delay_ms", "drop"};
    for (auto it = a.begin(); it != a.end(); ++it)
        if (std::find_if(std::begin(kKeys), std::end(kKeys), [&](const char* k) { return it.key() == k; }) ==
            std::end(kKeys))
            throw std::runtime_error(at + ": unknown key \"" + it.key() +
                                     "\" (known: columns, rows, return, outputs, fail, delay_ms, drop)");
    size_t ncols = 0;
    if (a.contains("columns")) {
        const json& c = a["columns"];
        if (!c.is_array()) throw std::runtime_error(at + ": \"columns\" must be a list of names");
        for (const auto& n : c)
            if (!n.is_string()) throw std::runtime_error(at + ": \"columns\" must be a list of names");
        ncols = c.size();
    }
    if (a.contains("rows")) {
        if (!a.contains("columns")) throw std::runtime_error(at + ": \"rows\" needs \"columns\"");
        const json& r = a["rows"];
        if (!r.is_array()) throw std::runtime_error(at + ": \"rows\" must be a list of rows");
        for (size_t i = 0; i < r.size(); ++i) {
            std::string rowAt = at + ", row " + std::to_string(i + 1);
            if (!r[i].is_array() || r[i].size() != ncols)
                throw std::runtime_error(rowAt + ": must be a list of " + std::to_string(ncols) + " values");
            for (const auto& v : r[i]) checkValue(v, rowAt);
        }
    }
    if (a.contains("return")) {
        const json& r = a["return"];
        if (!r.is_number_integer() || r.get<long long>() < INT32_MIN || r.get<long long>() > INT32_MAX)
            throw std::runtime_error(at + ": \"return\" must be a whole number (32 bits)");
    }
    if (a.contains("outputs")) {
        const json& o = a["outputs"];
        if (!o.is_object()) throw std::runtime_error(at + ": \"outputs\" must be an object {\"@Name\": value}");
        for (auto it = o.begin(); it != o.end(); ++it) checkValue(it.value(), at + ", output " + it.key());
    }
    if (a.contains("fail") && !a["fail"].is_string())
        throw std::runtime_error(at + ": \"fail\" must be the failure's description (text)");
    if (a.contains("delay_ms") && (!a["delay_ms"].is_number_integer() || a["delay_ms"].get<long long>() < 0))
        throw std::runtime_error(at + ": \"delay_ms\" must be a whole number of milliseconds, 0 or more");
    if (a.contains("drop") && !a["drop"].is_boolean()) throw std::runtime_error(at + ": \"drop\" must be true or false");
}

}  // namespace

void loadAnswers(const std::string& path, const std::string& text) {
    std::vector<std::pair<std::string, std::string>> answers;
    if (text.find_first_not_of(" \t\r\n") != std::string::npos) {
        json doc;
        try {
            doc = json::parse(text);
        } catch (const json::exception& e) {
            throw std::runtime_error(std::string("the answers are not valid JSON: ") + e.what());
        }
        if (!doc.is_object()) throw std::runtime_error("the answers must be an object {\"procedures\": {...}}");
        for (auto it = doc.begin(); it != doc.end(); ++it)
            if (it.key() != "procedures")
                throw std::runtime_error("unknown key \"" + it.key() + "\" (the answers hold only \"procedures\")");
        if (doc.contains("procedures")) {
            const json& procs = doc["procedures"];
            if (!procs.is_object()) throw std::runtime_error("\"procedures\" must be an object {\"NAME\": answer}");
            for (auto it = procs.begin(); it != procs.end(); ++it) {
                if (dz::text::trim(it.key()).empty()) throw std::runtime_error("a procedure name must not be empty");
                checkAnswer(it.key(), it.value());
                for (const auto& [n, a] : answers)
                    if (dz::text::iequals(n, it.key()))
                        throw std::runtime_error("procedure \"" + it.key() + "\" is given twice");
                answers.emplace_back(it.key(), it.value().dump());
            }
        }
    }
    sqlite3* db;
    try {
        db = connect(path);
    } catch (const db::Error&) {
        throw std::runtime_error(path + " is not a simulator database");
    }
    try {
        Transaction tx(db);
        execSql(db, "DELETE FROM answers");
        Stmt ins(db, "INSERT INTO answers(name, answer) VALUES(?, ?)");
        for (const auto& [n, a] : answers) {
            ins.with(n, a).run();
            ins.reset();
        }
        tx.commit();
    } catch (const db::Error& e) {
        throw std::runtime_error(e.description());
    }
}

std::optional<std::string> cannedAnswer(sqlite3* db, std::string_view name) {
    Stmt q(db, "SELECT answer FROM answers WHERE name = ?");
    q.with(name);
    if (q.step()) return q.text(0);
    return std::nullopt;
}

std::vector<std::string> cannedNames(sqlite3* db) {
    std::vector<std::string> names;
    Stmt q(db, "SELECT name FROM answers ORDER BY name");
    while (q.step()) names.push_back(q.text(0));
    return names;
}

// ---- operator views -------------------------------------------------------

namespace {

sqlite3* connectOrThrow(const std::string& path) {
    try {
        return connect(path);
    } catch (const db::Error&) {
        throw std::runtime_error(path + " is not a simulator database");
    }
}

json columnJson(const Stmt& q, int c) {
    db::Value v = q.value(c);
    if (v.isNull()) return nullptr;
    if (v.isInteger()) return std::get<long long>(v.raw());
    if (v.isDouble()) return std::get<double>(v.raw());
    return std::get<std::string>(v.raw());
}

}  // namespace

std::vector<std::string> query(const std::string& path, const std::string& sql) {
    sqlite3* db = connectOrThrow(path);
    std::vector<std::string> out;
    try {
        Stmt q(db, sql);
        if (q.rest().find_first_not_of(" \t\r\n;") != std::string_view::npos)
            throw std::runtime_error("give one statement at a time");
        if (!q.columns() && sql.find_first_not_of(" \t\r\n;") == std::string::npos)
            throw std::runtime_error("no statement given");
        while (q.step()) {
            json j = json::object();
            for (int c = 0; c < q.columns(); ++c) j[q.columnName(c)] = columnJson(q, c);
            out.push_back(j.dump());
        }
    } catch (const db::Error& e) {
        throw std::runtime_error(e.description());
    }
    return out;
}

std::vector<std::string> results(const std::string& path) {
    return query(path,
                 "SELECT test_id, serial, station, status, procedure, received, enter_time, exit_time, document "
                 "FROM results ORDER BY test_id");
}

}  // namespace dz::sim
