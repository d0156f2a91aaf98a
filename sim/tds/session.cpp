// A session: one reader and one worker per connection. The reader takes
// messages off the socket and notes attentions at once; the worker answers
// the requests in order through the engine, so that an attention can stop a
// request that is still running.
#include "sim/tds/session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>

#include <nlohmann/json.hpp>

#include "platform/db/driver.h"
#include "platform/text.h"
#include "sim/sim.h"
#include "sim/tds/messages.h"
#include "sim/tds/types.h"
#include "sim/tds/wire.h"

namespace fs = std::filesystem;

namespace dz::sim::tds {

namespace {

using json = nlohmann::json;

constexpr uint32_t kTds74 = 0x74000004;
const char* const kServerName = "DZSIM";

// ---- errors as the server numbers them ----------------------------------------

struct ErrorNumber {
    int number;
    uint8_t state;
    uint8_t severity;
};

ErrorNumber numberOf(const std::string& d) {
    static const struct {
        const char* phrase;
        ErrorNumber n;
    } kKnown[] = {
        {"Could not find stored procedure", {2812, 62, 16}},
        {"which was not supplied", {201, 4, 16}},
        {"has too many arguments specified", {8144, 2, 16}},
        {"is not a parameter for procedure", {8145, 2, 16}},
        {"Must pass parameter number", {119, 1, 15}},
        {"was not declared as an OUTPUT parameter", {8162, 2, 16}},
        {"was supplied multiple times", {8143, 1, 16}},
        {"Incorrect syntax near", {102, 1, 15}},
        {"Must declare the scalar variable", {137, 2, 15}},
        {"Invalid object name", {208, 1, 16}},
        {"Invalid column name", {207, 1, 16}},
        {"Unclosed quotation mark", {105, 1, 15}},
        {"Login failed for user", {18456, 1, 14}},
    };
    for (const auto& k : kKnown)
        if (d.find(k.phrase) != std::string::npos) return k.n;
    return {50000, 1, 16};
}

// ---- databases ------------------------------------------------------------------

std::string sqlText(const std::string& s) { return "'" + text::replaceAll(s, "'", "''") + "'"; }

std::optional<std::string> firstValue(const std::string& path, const std::string& sql) {
    try {
        std::vector<std::string> rows = sim::query(path, sql);
        if (rows.empty()) return std::nullopt;
        json j = json::parse(rows.front());
        for (auto it = j.begin(); it != j.end(); ++it)
            if (it.value().is_string()) return it.value().get<std::string>();
        return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> databaseName(const std::string& path) {
    return firstValue(path, "SELECT value FROM meta WHERE key = 'database'");
}

std::optional<std::string> passwordOf(const std::string& path, const std::string& user) {
    return firstValue(path, "SELECT password FROM users WHERE name = " + sqlText(user));
}

// The file that serves database `name` (see server.h), or "".
std::string resolveDatabase(const std::string& mainPath, const std::string& name) {
    if (text::trim(name).empty()) return mainPath;
    std::optional<std::string> own = databaseName(mainPath);
    if (own && text::iequals(*own, name)) return mainPath;
    std::error_code ec;
    fs::path main = fs::absolute(mainPath, ec);
    std::string stem = main.stem().string() + "-";
    std::string ext = main.extension().string();
    std::vector<fs::path> candidates;
    for (fs::directory_iterator it(main.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
        std::string f = it->path().filename().string();
        if (f.size() > stem.size() + ext.size() && f.rfind(stem, 0) == 0 &&
            f.compare(f.size() - ext.size(), ext.size(), ext) == 0 && it->is_regular_file(ec))
            candidates.push_back(it->path());
    }
    std::sort(candidates.begin(), candidates.end());
    for (const auto& c : candidates) {
        std::optional<std::string> n = databaseName(c.string());
        if (n && text::iequals(*n, name)) return c.string();
    }
    return "";
}

bool isBlankChar(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string trimAll(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && isBlankChar(s[b])) ++b;
    while (e > b && isBlankChar(s[e - 1])) --e;
    return std::string(s.substr(b, e - b));
}

bool startsWithWord(const std::string& s, std::string_view word) {
    return s.size() >= word.size() && text::iequals(s.substr(0, word.size()), word) &&
           (s.size() == word.size() || isBlankChar(s[word.size()]) || s[word.size()] == ';');
}

// Statements that only touch the session: options, and transactions (each
// command of the simulator commits on its own).
bool isSessionStatement(const std::string& stmt) {
    return startsWithWord(stmt, "SET") || startsWithWord(stmt, "BEGIN TRAN") ||
           startsWithWord(stmt, "BEGIN TRANSACTION") || startsWithWord(stmt, "COMMIT") ||
           startsWithWord(stmt, "ROLLBACK") || text::ifind(stmt, "IF @@TRANCOUNT") == 0;
}

bool onlySessionStatements(const std::string& batch) {
    bool any = false;
    size_t pos = 0;
    while (pos <= batch.size()) {
        size_t end = batch.find_first_of(";\n", pos);
        if (end == std::string::npos) end = batch.size();
        std::string stmt = trimAll(std::string_view(batch).substr(pos, end - pos));
        if (!stmt.empty()) {
            if (!isSessionStatement(stmt) || stmt.find('\'') != std::string::npos) return false;
            any = true;
        }
        pos = end + 1;
    }
    return any;
}

// Fixed-length types carry no Null; an output value is written in the
// nullable form of its type.
TypeInfo nullable(TypeInfo t) {
    switch (t.type) {
    case kInt1: t.type = kIntN; t.maxLen = 1; break;
    case kInt2: t.type = kIntN; t.maxLen = 2; break;
    case kInt4: t.type = kIntN; t.maxLen = 4; break;
    case kInt8: t.type = kIntN; t.maxLen = 8; break;
    case kBit: t.type = kBitN; t.maxLen = 1; break;
    case kFlt4: t.type = kFltN; t.maxLen = 4; break;
    case kFlt8: t.type = kFltN; t.maxLen = 8; break;
    case kMoney4: t.type = kMoneyN; t.maxLen = 4; break;
    case kMoney: t.type = kMoneyN; t.maxLen = 8; break;
    case kDateTim4: t.type = kDateTimN; t.maxLen = 4; break;
    case kDateTime: t.type = kDateTimN; t.maxLen = 8; break;
    case kNull:
    case kText:
    case kNText:
    case kImage:
    case kGuid:
        t = TypeInfo();
        t.type = kNVarChar;
        t.maxLen = 8000;
        break;
    default: break;
    }
    return t;
}

std::mutex& traceMutex() {
    static std::mutex m;
    return m;
}

// The pre-login's encryption values.
constexpr uint8_t kEncryptOff = 0;           // the login alone
constexpr uint8_t kEncryptOn = 1;            // the whole connection
constexpr uint8_t kEncryptNotSupported = 2;  // none
constexpr uint8_t kEncryptRequired = 3;      // the whole connection, or no connection

// Before login a client sends only a pre-login and a login message.
constexpr size_t kLoginLimit = 64 * 1024;

class Connection : public Session, public std::enable_shared_from_this<Connection> {
public:
    // A refused connection only tells its client that the listener is full.
    Connection(Listening& server, int fd, bool refused)
        : server_(server), fd_(fd), ch_(fd), spid_(server.nextSpid++), refused_(refused) {
        (refused_ ? server_.refusing : server_.open)++;
    }
    ~Connection() {
        ::close(fd_);
        (refused_ ? server_.refusing : server_.open)--;
    }

    void shutdownSocket() { ::shutdown(fd_, SHUT_RDWR); }
    void drain() override {
        draining_ = true;
        ::shutdown(fd_, SHUT_RD);
    }
    void abort() override {
        cancel_ = true;
        shutdownSocket();
    }

    void run() override {
        bool ok = false;
        try {
            ok = handshake();
        } catch (const std::exception& e) {  // ProtocolError, or anything a malformed login caused
            trace(std::string("protocol error: ") + e.what());
        }
        sim::releaseConnections();  // this thread now only reads the socket
        if (!ok) return;            // the socket closes with the last owner
        auto self = shared_from_this();
        server_.pool.run([self] { self->workerLoop(); });
        try {
            for (;;) {
                uint8_t type = 0;
                std::string body;
                if (!ch_.receive(type, body)) break;
                std::lock_guard lock(mu_);
                if (type == kAttention) {
                    ++attentions_;
                    cancel_ = true;
                    queue_.push_back({true, type, {}});
                } else {
                    queue_.push_back({false, type, std::move(body)});
                }
                cv_.notify_one();
            }
        } catch (const std::exception& e) {
            trace(std::string("protocol error: ") + e.what());
        }
        {
            std::lock_guard lock(mu_);
            closing_ = true;
            if (!draining_) cancel_ = true;  // the client is gone: stop what runs for it
        }
        cv_.notify_all();
    }

private:
    struct Event {
        bool attention = false;
        uint8_t type = 0;
        std::string body;
    };

    void workerLoop() {
        for (;;) {
            Event e;
            {
                std::unique_lock lock(mu_);
                cv_.wait(lock, [&] { return closing_ || !queue_.empty(); });
                if (queue_.empty()) break;
                e = std::move(queue_.front());
                queue_.pop_front();
            }
            if (e.attention) {
                {
                    std::lock_guard lock(mu_);
                    if (--attentions_ == 0 && !closing_) cancel_ = false;
                }
                Writer w;
                w.done(kDone, kDoneAttn);
                ch_.send(kReply, w.data());
                continue;
            }
            if (cancel_) continue;  // an attention came for it before it ran
            Writer out;
            bool drop = false;
            try {
                handle(e, out, drop);
            } catch (const std::exception& ex) {  // the engine's own failures are answered inside
                trace(std::string("internal error: ") + ex.what());
                drop = true;
            }
            if (cut_) {
                trace("answer cut off halfway");
                ch_.sendUnfinished(kReply, std::string_view(out.data()).substr(0, out.data().size() / 2));
                drop = true;
            }
            if (drop) {
                trace("connection dropped");
                shutdownSocket();
                break;
            }
            if (cancel_) continue;  // cancelled while it ran: the attention's answer follows
            ch_.send(kReply, out.data());
        }
    }

    void trace(const std::string& msg) {
        if (!server_.opt.trace) return;
        std::lock_guard lock(traceMutex());
        std::cerr << "[" << spid_ << "] " << msg << std::endl;
    }

    // ---- login ----

    // Pre-login and login, in small messages and within the login time-out.
    bool handshake() {
        ch_.setLimit(kLoginLimit);
        ch_.setDeadline(std::chrono::steady_clock::now() + std::chrono::seconds(server_.opt.loginTimeout));
        uint8_t type = 0;
        std::string body;
        if (!ch_.receive(type, body)) return false;
        uint8_t encryption = kEncryptNotSupported;
        if (type == kPrelogin) {
            encryption = preLogin(body);
            if (!ch_.receive(type, body)) return false;
        } else if (server_.tlsRequire) {
            throw ProtocolError("a client without pre-login cannot encrypt");
        }
        if (encryption != kEncryptNotSupported) {
            if (type == kLogin7) {
                trace("refused: the client did not encrypt");
                Writer out;
                out.message(kError, 50000, 1, 20,
                            "The server requires an encrypted connection; the client did not start encryption.",
                            kServerName);
                return refuseLogin(out);
            }
            if (type != kPrelogin) throw ProtocolError("expected the TLS handshake");
            if (!ch_.startTls(*server_.tls, body)) return false;
            trace(encryption == kEncryptOff ? "TLS for the login" : "TLS");
            if (!ch_.receive(type, body)) return false;
            // The client encrypted only its login: the answer goes in the clear.
            if (encryption == kEncryptOff) ch_.stopTls();
        }
        if (type != kLogin7) throw ProtocolError("expected a login");
        if (refused_) {
            trace("refused: the listener is full");
            Writer out;
            out.message(kError, 17809, 1, 20,
                        "Could not connect because the maximum number of '" +
                            std::to_string(server_.opt.maxConnections) +
                            "' user connections has already been reached. The connection has been closed.",
                        kServerName);
            return refuseLogin(out);
        }
        bool ok = login(body);
        ch_.setLimit(Channel::kMessageLimit);
        ch_.setDeadline(std::nullopt);
        return ok;
    }

    // The encryption of the connection, as the pre-login answer tells it:
    // none without a certificate or for a client that cannot (unless
    // encryption is required), the login alone for a client that offers it,
    // the whole connection when either side requires it.
    uint8_t negotiate(uint8_t client) const {
        if (!server_.tls) return kEncryptNotSupported;
        if (server_.tlsRequire) return kEncryptRequired;
        if (client == kEncryptNotSupported) return kEncryptNotSupported;
        if (client == kEncryptOff) return kEncryptOff;
        return kEncryptOn;
    }

    // Answers the pre-login; returns the encryption agreed.
    uint8_t preLogin(const std::string& body) {
        uint8_t clientEncryption = readPrelogin(body);
        uint8_t encryption = negotiate(clientEncryption);
        trace("pre-login, client encryption " + std::to_string(clientEncryption) + ", answered " +
              std::to_string(encryption));
        // VERSION 15.0.2000, ENCRYPTION, INSTOPT ok, THREADID, MARS off.
        std::string data;
        data += std::string("\x0F\x00\x07\xD0\x00\x00", 6);
        data += char(encryption);
        data += '\x00';
        uint16_t spid = spid_;
        data += char(0), data += char(0), data += char(spid >> 8), data += char(spid & 0xFF);
        data += '\x00';
        const uint8_t tokens[] = {0x00, 0x01, 0x02, 0x03, 0x04};
        const uint16_t lens[] = {6, 1, 1, 4, 1};
        Writer w;
        uint16_t off = 5 * 5 + 1;
        for (int i = 0; i < 5; ++i) {
            w.u8(tokens[i]);
            w.u16be(off);
            w.u16be(lens[i]);
            off = uint16_t(off + lens[i]);
        }
        w.u8(0xFF);
        w.bytes(data);
        ch_.send(kReply, w.data());
        return encryption;
    }

    // Ends the error messages in `out` and sends them: the login failed.
    bool refuseLogin(Writer& out) {
        out.done(kDone, kDoneError, 0, 0);
        ch_.send(kReply, out.data());
        return false;
    }

    bool login(const std::string& body) {
        Login l = readLogin(body);
        const std::string& user = l.user;
        const std::string& database = l.database;
        trace("login " + user + " database \"" + database + "\" from " + l.app + " at " + l.host);

        Writer out;
        if ((l.version >> 24) < 0x72) {
            out.message(kError, 50000, 1, 16,
                        "The simulator speaks TDS 7.2 to 7.4; this client asked for an older version.", kServerName);
            return refuseLogin(out);
        }
        tdsVersion_ = std::min(l.version, kTds74);
        if (l.integratedSecurity) {
            out.message(kError, 18452, 1, 14,
                        "Login failed. The login is from an untrusted domain and cannot be used with Integrated "
                        "authentication.",
                        kServerName);
            return refuseLogin(out);
        }

        std::string path = resolveDatabase(server_.opt.path, database);
        if (path.empty()) {
            out.message(kError, 4060, 1, 11,
                        "Cannot open database \"" + database + "\" requested by the login. The login failed.",
                        kServerName);
            out.message(kError, 18456, 1, 14, "Login failed for user '" + user + "'.", kServerName);
            return refuseLogin(out);
        }
        std::optional<std::string> expected = passwordOf(path, user);
        std::optional<std::string> refused;
        if (expected && *expected == l.password) {
            try {
                refused = refusedLogin(path, user);  // a fault schedule
            } catch (const db::Error& e) {
                refused = "Login failed for user '" + user + "'.";
            }
        }
        if (!expected || *expected != l.password || refused) {
            trace("login failed for " + user);
            out.message(kError, 18456, 1, 14, "Login failed for user '" + user + "'.", kServerName);
            return refuseLogin(out);
        }
        caller_.connection = "spid " + std::to_string(spid_);
        caller_.host = l.host;
        caller_.program = l.app;
        user_ = user;
        password_ = l.password;
        path_ = path;
        database_ = databaseName(path).value_or(database);

        out.envChange(1, database_, "master");
        out.message(kInfo, 5701, 2, 0, "Changed database context to '" + database_ + "'.", kServerName);
        out.envChangeBytes(7, kCollation, "");
        out.envChange(2, "us_english", "");
        out.message(kInfo, 5703, 1, 0, "Changed language setting to us_english.", kServerName);
        Writer ack;
        ack.u8(1);  // Transact-SQL
        ack.u8(uint8_t(tdsVersion_ >> 24));
        ack.u8(uint8_t(tdsVersion_ >> 16));
        ack.u8(uint8_t(tdsVersion_ >> 8));
        ack.u8(uint8_t(tdsVersion_));
        ack.bVarchar("Microsoft SQL Server");
        ack.bytes(std::string("\x0F\x00\x07\xD0", 4));
        out.u8(kLoginAck);
        out.u16(uint16_t(ack.data().size()));
        out.bytes(ack.data());
        size_t size = l.packetSize == 0 ? 4096 : std::clamp<size_t>(l.packetSize, 512, 32767);
        out.envChange(4, std::to_string(size), std::to_string(size));
        out.done(kDone, kDoneFinal, 0, 0);
        if (!ch_.send(kReply, out.data())) return false;
        ch_.setPacketSize(size);
        return true;
    }

    // ---- requests ----

    // The server as this client reached it, "host,port": what a procedure
    // names when it means the caller's own server.
    std::string serverName() {
        if (!serverName_.empty()) return serverName_;
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        char buf[INET6_ADDRSTRLEN] = "";
        int port = 0;
        if (getsockname(fd_, (sockaddr*)&addr, &len) == 0) {
            if (addr.ss_family == AF_INET) {
                inet_ntop(AF_INET, &((sockaddr_in*)&addr)->sin_addr, buf, sizeof buf);
                port = ntohs(((sockaddr_in*)&addr)->sin_port);
            } else if (addr.ss_family == AF_INET6) {
                inet_ntop(AF_INET6, &((sockaddr_in6*)&addr)->sin6_addr, buf, sizeof buf);
                port = ntohs(((sockaddr_in6*)&addr)->sin6_port);
            }
        }
        serverName_ = std::string(buf) + "," + std::to_string(port);
        return serverName_;
    }

    db::Request request() {
        db::Request req;
        req.connection.userId = user_;
        req.connection.password = password_;
        req.connection.initialCatalog = database_;
        req.connection.dataSource = serverName();
        req.connection.provider = "SQLOLEDB";
        req.connectionString = "Provider=SQLOLEDB;Password=" + password_ + ";User ID=" + user_ +
                               ";Initial Catalog=" + database_ + ";Data Source=" + req.connection.dataSource;
        req.timeout = 0;  // the client keeps the time; an attention stops the call
        return req;
    }

    // A request whose message does not decode is answered with an error;
    // the connection stays.
    void handle(const Event& e, Writer& out, bool& drop) {
        std::string text;
        std::vector<RpcCall> calls;
        TransactionRequest tran;
        try {
            if (e.type == kSqlBatch) text = readBatch(e.body);
            else if (e.type == kRpc) calls = readRpc(e.body);
            else if (e.type == kTransaction) tran = readTransaction(e.body);
        } catch (const ProtocolError& ex) {
            trace(std::string("protocol error: ") + ex.what());
            out.message(kError, 8016, 1, 16,
                        std::string("The incoming tabular data stream (TDS) protocol stream is incorrect: ") + ex.what() +
                            ".",
                        kServerName);
            out.done(kDone, kDoneError);
            return;
        }
        switch (e.type) {
        case kSqlBatch: batch(text, out, drop); break;
        case kRpc:
            for (size_t i = 0; i < calls.size() && !drop; ++i)
                call(calls[i].name, calls[i].params, out, i + 1 < calls.size(), drop);
            break;
        case kTransaction: transaction(tran, out); break;
        default:
            out.message(kError, 50000, 1, 16, "Requests of type " + std::to_string(e.type) +
                                                  " are not supported by the simulator.",
                        kServerName);
            out.done(kDone, kDoneError);
        }
    }

    void error(Writer& out, const std::string& description, const std::string& proc = "") {
        ErrorNumber n = numberOf(description);
        trace("error " + std::to_string(n.number) + ": " + description);
        out.message(kError, n.number, n.state, n.severity, description, kServerName, proc);
    }

    void recordset(Writer& out, const db::Recordset& rs, uint8_t doneToken, uint16_t doneStatus) {
        const auto& cols = rs.columns();
        const auto& rows = rs.rows();
        std::vector<TypeInfo> types;
        out.u8(kColMetadata);
        out.u16(uint16_t(cols.size()));
        for (size_t c = 0; c < cols.size(); ++c) {
            types.push_back(columnType(rows, c));
            out.u32(0);       // user type
            out.u16(0x0001);  // nullable
            writeTypeInfo(out, types.back());
            out.bVarchar(cols[c]);
        }
        for (const auto& row : rows) {
            out.u8(kRow);
            for (size_t c = 0; c < cols.size(); ++c) writeValue(out, types[c], c < row.size() ? row[c] : db::Value());
        }
        out.done(doneToken, uint16_t(doneStatus | kDoneCount), rows.size());
    }

    void batch(const std::string& text, Writer& out, bool& drop) {
        trace("batch: " + text);
        std::string t = trimAll(text);
        if (t.empty() || onlySessionStatements(t)) {
            out.done(kDone, kDoneFinal);
            return;
        }
        if (startsWithWord(t, "USE")) return use(trimAll(std::string_view(t).substr(3)), out);

        db::Request req = request();
        req.text = text;
        req.type = db::adCmdText;
        try {
            CallOutcome outcome;
            db::Response resp = sim::execute(path_, req, &cancel_, caller_, &outcome);
            cut_ = outcome.cutAnswer;
            bool rows = resp.recordset.isOpen();
            if (rows) recordset(out, resp.recordset, resp.returnValue ? kDoneInProc : kDone, resp.returnValue ? kDoneMore : 0);
            if (resp.returnValue) {
                out.returnStatus(resp.returnValue->isNull() ? 0 : resp.returnValue->toInt32());
                out.done(kDone, kDoneFinal);
            } else if (!rows) {
                out.done(kDone, kDoneFinal);
            }
        } catch (const Dropped&) {
            drop = true;
        } catch (const db::Error& e) {
            error(out, e.description());
            out.done(kDone, kDoneError);
        }
    }

    void use(std::string name, Writer& out) {
        if (!name.empty() && name.back() == ';') name = trimAll(name.substr(0, name.size() - 1));
        if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
        std::string path = resolveDatabase(server_.opt.path, name);
        if (path.empty()) {
            out.message(kError, 911, 1, 16,
                        "Database '" + name + "' does not exist. Make sure that the name is entered correctly.",
                        kServerName);
            out.done(kDone, kDoneError);
            return;
        }
        std::optional<std::string> pw = passwordOf(path, user_);
        if (!pw || *pw != password_) {
            out.message(kError, 916, 1, 14,
                        "The server principal \"" + user_ + "\" is not able to access the database \"" + name +
                            "\" under the current security context.",
                        kServerName);
            out.done(kDone, kDoneError);
            return;
        }
        std::string old = database_;
        path_ = path;
        database_ = databaseName(path).value_or(name);
        out.envChange(1, database_, old);
        out.message(kInfo, 5701, 2, 0, "Changed database context to '" + database_ + "'.", kServerName);
        out.done(kDone, kDoneFinal);
    }

    void call(const std::string& name, std::vector<RpcParam>& in, Writer& out, bool more, bool& drop) {
        uint16_t moreFlag = more ? kDoneMore : 0;
        std::string traced = "rpc: " + name + "(";
        // Parameters sent without names take the procedure's own.
        std::vector<std::string> declared;
        if (server_.opt.trace) try {
                declared = procedureParameters(path_, name);
            } catch (const db::Error&) {
            }
        for (size_t i = 0; i < in.size(); ++i)
            traced += (i ? ", " : "") + (in[i].name.empty() && i < declared.size() ? declared[i] : in[i].name) +
                      (in[i].status & 1 ? " out" : "") + "=" +
                      (in[i].value.isNull() ? "NULL" : in[i].value.toText());
        trace(traced + ")");

        db::Request req = request();
        std::vector<db::Parameter> params;
        bool executeSql = text::iequals(name, "sp_executesql");
        if (executeSql) {
            if (in.empty() || in[0].value.isNull()) {
                error(out, "Procedure expects parameter '@statement' of type 'ntext/nchar/nvarchar'.");
                out.done(kDoneProc, uint16_t(kDoneError | moreFlag));
                return;
            }
            std::vector<std::pair<std::string, db::Value>> values;
            for (size_t i = 2; i < in.size(); ++i) values.emplace_back(in[i].name, in[i].value);
            req.text = inlineParameters(in[0].value.toText(),
                                        in.size() > 1 && !in[1].value.isNull() ? in[1].value.toText() : "", values);
            req.type = db::adCmdText;
        } else {
            db::Parameter ret;
            ret.name = "@RETURN_VALUE";
            ret.type = db::adInteger;
            ret.direction = db::adParamReturnValue;
            params.push_back(ret);
            bool named = !in.empty();
            for (const auto& p : in) {
                if (p.name.empty()) named = false;
                db::Parameter q;
                q.name = p.name;
                q.type = dataTypeOf(p.type);
                q.direction = !(p.status & 1) ? db::adParamInput
                              : p.value.isNull() ? db::adParamOutput
                                                 : db::adParamInputOutput;
                q.size = sizeOf(p.type, p.value);
                q.value = p.value;
                params.push_back(std::move(q));
            }
            req.text = name;
            req.type = db::adCmdStoredProc;
            req.parameters = &params;
            req.namedParameters = named;
        }

        std::optional<db::Response> resp;
        std::string failure;
        try {
            CallOutcome outcome;
            resp = sim::execute(path_, req, &cancel_, caller_, &outcome);
            cut_ = cut_ || outcome.cutAnswer;
        } catch (const Dropped&) {
            drop = true;
            return;
        } catch (const db::Error& e) {
            failure = e.description();
        }
        if (resp && resp->recordset.isOpen()) recordset(out, resp->recordset, kDoneInProc, kDoneMore);
        if (!resp) error(out, failure, executeSql ? "" : name);

        // The return status and output values: after a success, and after a
        // failure that came once the procedure had set its status.
        std::optional<int32_t> status;
        if (executeSql) {
            if (resp) status = 0;
        } else if (resp) {
            status = resp->returnValue && !resp->returnValue->isNull() ? resp->returnValue->toInt32() : 0;
        } else if (!params[0].value.isNull()) {
            status = params[0].value.toInt32();
        }
        if (status) {
            out.returnStatus(*status);
            for (size_t i = 0; i < in.size(); ++i) {
                if (!(in[i].status & 1)) continue;
                db::Value v = executeSql ? db::Value() : params[i + 1].value;
                TypeInfo t = nullable(in[i].type);
                out.u8(kReturnValue);
                out.u16(uint16_t(i));
                out.bVarchar(in[i].name);
                out.u8(0x01);
                out.u32(0);
                out.u16(0x0001);
                writeTypeInfo(out, t);
                writeValue(out, t, v);
            }
        }
        out.done(kDoneProc, uint16_t((resp ? 0 : kDoneError) | moreFlag));
    }

    void transaction(const TransactionRequest& tran, Writer& out) {
        uint16_t type = tran.type;
        auto descriptor = [](uint64_t n) {
            std::string d;
            for (int i = 0; i < 8; ++i) d += char((n >> (8 * i)) & 0xFF);
            return d;
        };
        trace("transaction request " + std::to_string(type));
        switch (type) {
        case 5:  // begin
            transaction_ = ++transactions_;
            out.envChangeBytes(8, descriptor(transaction_), "");
            break;
        case 7:    // commit
        case 8: {  // rollback
            uint8_t flags = tran.flags;
            if (transaction_) out.envChangeBytes(type == 7 ? 9 : 10, "", descriptor(transaction_));
            transaction_ = 0;
            if (flags & 1) {  // and begin the next one
                transaction_ = ++transactions_;
                out.envChangeBytes(8, descriptor(transaction_), "");
            }
            break;
        }
        default:
            out.message(kError, 50000, 1, 16, "The simulator does not support distributed transactions.", kServerName);
            out.done(kDone, kDoneError);
            return;
        }
        out.done(kDone, kDoneFinal);
    }

    Listening& server_;
    int fd_;
    Channel ch_;
    uint16_t spid_;
    bool refused_;

    uint32_t tdsVersion_ = kTds74;
    std::string user_, password_, path_, database_, serverName_;
    Caller caller_;
    bool cut_ = false;  // a fault schedule cuts the answer being made
    uint64_t transaction_ = 0, transactions_ = 0;

    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Event> queue_;
    bool closing_ = false;
    int attentions_ = 0;
    std::atomic<bool> cancel_{false};
    std::atomic<bool> draining_{false};
};

}  // namespace

std::shared_ptr<Session> openSession(Listening& listening, int fd, bool refused) {
    return std::make_shared<Connection>(listening, fd, refused);
}

}  // namespace dz::sim::tds
