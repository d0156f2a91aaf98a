// Result upload on both server generations, the delivery-method lookup, the
// buffer folder and the local resend queue.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <optional>
#include <system_error>

#include "DEZozevoDLL/Query.h"
#include "DEZozevoDLL/Results.h"
#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/Context.h"
#include "platform/text.h"

namespace dz {

namespace results {

std::string resendFilePath() {
    const char* moved = std::getenv("DEZOZEVO_RESEND_FILE");
    if (moved != nullptr && *moved != '\0') return moved;
    return "/var/lib/dezozevo/DEZozevo_Resend.xml";
}

std::string doubleApostrophes(std::string_view s) {
    std::string out;
    out.reserve(s.size() + size_t(std::count(s.begin(), s.end(), '\'')));
    for (size_t at = 0;;) {
        const size_t quote = s.find('\'', at);
        out.append(s.substr(at, quote == std::string_view::npos ? quote : quote + 1 - at));
        if (quote == std::string_view::npos) return out;
        out += '\'';
        at = quote + 1;
    }
}

int32_t returnOr9999(const std::optional<db::Command>& cmd) {
    int32_t status = 0;
    if (cmd && !cmd->parameters().empty()) {
        try {
            status = cmd->value("RETURN").toInt32();
        } catch (const std::exception&) {
            status = 0;
        }
    }
    return status == 0 ? 9999 : status;
}

std::string localTimeText() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

}  // namespace results

using results::need;

namespace {

const std::string kCrLf = "\r\n";

std::string errnoText(int err) { return std::error_code(err, std::generic_category()).message(); }

bool hasNul(const std::string& s) { return s.find('\0') != std::string::npos; }

std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The test ID a stored result was given ("@TestID"), when the value holds one.
std::optional<int32_t> testIdOf(const db::Value& v) {
    if (v.isNull()) return std::nullopt;
    try {
        return v.toInt32();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool isPassWord(const std::string& upper) {
    static const char* const kPass[] = {"PASS", "PASSED", "GOOD", "DONE", "SUCC", "SUCCESS", "SUCCEED"};
    return std::any_of(std::begin(kPass), std::end(kPass), [&](const char* w) { return upper == w; });
}

bool anyTerminate(const std::vector<std::string>& statuses) {
    return std::any_of(statuses.begin(), statuses.end(),
                       [](const std::string& s) { return text::toUpper(s) == "TERMINATE"; });
}

// Creates the folder and its missing parents (rwxr-xr-x). "" on success, else why not.
std::string makeFolders(const std::string& folder) {
    if (folder.empty() || folder == "/" || folder == ".") return "";
    struct stat st{};
    if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? "" : folder + " is not a folder";
    if (std::string why = makeFolders(parentOf(folder)); !why.empty()) return why;
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
        return "cannot create " + folder + ": " + errnoText(errno);
    return "";
}

const char* const kOddFile = "it is not a plain file (a link, folder or device is never followed or replaced)";

// Makes a rename or link in `folder` durable.
void syncFolder(const std::string& folder) {
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

// A file written under a temporary name. It stays open and locked (flock)
// while the object lives, so that a sweep for the leftovers of killed
// processes never takes one still being written, and it is removed with the
// object unless `path` was cleared (the file was handed on).
struct TempFile {
    std::string path;
    int fd = -1;
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (!path.empty()) ::unlink(path.c_str());
        if (fd >= 0) ::close(fd);
    }
};

// Creates a new file from `pattern` (six X before a suffix of `suffixLen`
// characters), writes `data` and a line end and flushes it to the disk.
// "" on success, else why not.
std::string writeTemp(std::string pattern, int suffixLen, std::string_view data, TempFile& out) {
    if (hasNul(pattern)) return "invalid file name";
    out.fd = ::mkostemps(pattern.data(), suffixLen, O_CLOEXEC);
    if (out.fd < 0) return errnoText(errno);
    out.path = pattern;
    ::flock(out.fd, LOCK_EX);  // best effort: some network file systems have no locks
    if (::fchmod(out.fd, 0644) != 0) return errnoText(errno);
    for (std::string_view piece : {data, std::string_view(kCrLf)}) {
        for (size_t done = 0; done < piece.size();) {
            const ssize_t n = ::write(out.fd, piece.data() + done, piece.size() - done);
            if (n >= 0)
                done += size_t(n);
            else if (errno != EINTR)
                return errnoText(errno);
        }
    }
    if (::fsync(out.fd) != 0) return errnoText(errno);
    return "";
}

bool isPlainFile(const std::string& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The results kept for resend. The resend file holds the oldest; later ones
// sit beside it as "<resend file>.1", ".2", ... in arrival order, and the
// next one moves into the resend file when the oldest has been stored.
// Files are written whole: under "<resend file>.tmp-XXXXXX" first, then
// linked to their name, which never replaces a kept result.
class ResendQueue {
public:
    explicit ResendQueue(std::string base)
        : base_(std::move(base)), folder_(parentOf(base_)), name_(base_.substr(base_.rfind('/') + 1)) {}

    const std::string& base() const { return base_; }
    const std::string& folder() const { return folder_; }

    // The kept results, oldest first (entries of any type), and the highest
    // number in use. With `sweep`, the same pass removes the temporary files
    // of writers that were killed: those no live process holds locked.
    // "" on success, else why the folder cannot be listed.
    std::string list(std::vector<std::string>& paths, uint64_t& last, bool sweep = false) const {
        paths.clear();
        last = 0;
        DIR* dir = ::opendir(folder_.c_str());
        if (dir == nullptr) return errno == ENOENT || errno == ENOTDIR ? "" : errnoText(errno);
        const std::string tempPrefix = name_ + ".tmp-";
        bool hasBase = false;
        std::vector<uint64_t> numbers;
        std::vector<std::string> temps;
        while (const dirent* e = ::readdir(dir)) {
            const std::string_view n = e->d_name;
            if (n == name_)
                hasBase = true;
            else if (const auto k = numberOf(n))
                numbers.push_back(*k);
            else if (sweep && n.starts_with(tempPrefix))
                temps.push_back(folder_ + "/" + e->d_name);
        }
        ::closedir(dir);
        for (const std::string& path : temps) removeIfAbandoned(path);
        std::sort(numbers.begin(), numbers.end());
        if (hasBase) paths.push_back(base_);
        for (uint64_t k : numbers) paths.push_back(numbered(k));
        if (!numbers.empty()) last = numbers.back();
        return "";
    }

    // Keeps `data` (and a line end) as the newest result; `kept` is its file.
    // Abandoned temporary files go in the same listing. "" on success, else why not.
    std::string add(std::string_view data, std::string& kept) const {
        std::vector<std::string> paths;
        uint64_t last = 0;
        if (std::string why = list(paths, last, true); !why.empty()) return why;
        TempFile temp;
        if (std::string why = writeTemp(base_ + ".tmp-XXXXXX", 0, data, temp); !why.empty()) return why;
        for (int attempt = 0; attempt < 100; ++attempt) {  // another process may take a name meanwhile
            struct stat st{};
            if (::lstat(base_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return kOddFile;
            const std::string target = paths.empty() ? base_ : numbered(last + 1);
            if (::link(temp.path.c_str(), target.c_str()) == 0) {
                kept = target;
                ::unlink(temp.path.c_str());
                temp.path.clear();
                syncFolder(folder_);
                return "";
            }
            if (errno != EEXIST) return errnoText(errno);
            if (std::string why = list(paths, last); !why.empty()) return why;
        }
        return "no free name beside it";
    }

    // Removes paths[i] once stored. When it is the resend file, the next
    // kept result takes its place in one rename. "" on success, else why not.
    std::string remove(std::vector<std::string>& paths, size_t i) const {
        if (paths[i] == base_ && i + 1 < paths.size() && isPlainFile(paths[i + 1])) {
            if (::rename(paths[i + 1].c_str(), base_.c_str()) == 0) {
                paths[i + 1] = base_;
                syncFolder(folder_);
                return "";
            }
            if (errno != ENOENT) return errnoText(errno);
        }
        if (::unlink(paths[i].c_str()) != 0 && errno != ENOENT) return errnoText(errno);
        syncFolder(folder_);
        return "";
    }

private:
    std::string numbered(uint64_t k) const { return base_ + "." + std::to_string(k); }

    // A temporary file is removed unless a live writer holds it locked.
    static void removeIfAbandoned(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return;
        struct stat st{};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(path.c_str());
        ::close(fd);
    }

    std::optional<uint64_t> numberOf(std::string_view n) const {
        if (n.size() <= name_.size() + 1 || n.substr(0, name_.size()) != name_ || n[name_.size()] != '.')
            return std::nullopt;
        const std::string_view digits = n.substr(name_.size() + 1);
        if (digits.size() > 18 || digits[0] == '0' ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        uint64_t k = 0;
        for (char c : digits) k = k * 10 + uint64_t(c - '0');
        return k;
    }

    std::string base_, folder_, name_;
};

// Reads a whole plain file without following a link. "" on success, else why not.
std::string readPlainFile(const std::string& path, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP) return "it is a link, which is never followed";
        return errnoText(errno);
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return "it is not a plain file";
    }
    out.clear();
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            return errnoText(err);
        }
        if (n == 0) break;
        out.append(buf, size_t(n));
    }
    ::close(fd);
    return "";
}

// A short tag of a text: FNV-1a, 64 bits, in hex. Only used to tell long
// unit IDs apart in file names that also carry the test ID, so no
// cryptographic digest (and no library for one) is needed.
std::string shortDigest(std::string_view s) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

// The unit ID as part of one file name inside the buffer folder: path
// separators and control characters become "_", and so does a leading dot
// (no hidden files, no "." or ".." names). An ID that would pass the file
// system's 255-byte name limit keeps its start (whole characters) and gets a
// digest of the whole ID, so that names stay distinct.
std::string fileNamePart(const std::string& unitId) {
    constexpr size_t kMaxPart = 200;  // leaves room for "_pending-XXXXXX.tmp" and "_N-2147483648.xml"
    std::string r = unitId;
    for (char& c : r) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) c = '_';
    }
    if (!r.empty() && r[0] == '.') r[0] = '_';
    if (r.size() > kMaxPart) {
        size_t cut = kMaxPart - 17;
        while (cut > 0 && (static_cast<unsigned char>(r[cut]) & 0xC0) == 0x80) --cut;
        r = r.substr(0, cut) + "~" + shortDigest(unitId);
    }
    return r;
}

std::string bufferName(const std::string& folder, const std::string& unitId, const std::string& tail) {
    return folder + (folder.back() == '/' ? "" : "/") + fileNamePart(unitId) + tail;
}

std::string folderFailure(const char* function, const std::string& error, const std::string& folder) {
    return "Version = SaveResult10" + kCrLf + "Function = " + function + " " + kCrLf + "Error = " + error + kCrLf +
           "Folder Path = " + folder;
}

std::string parseFailure(const xml::ParseError& pe) { return std::to_string(pe.errorCode) + " " + pe.reason; }

// The result argument as text, without a copy when it is text already;
// Null and objects fail as toText() does.
std::string_view resultText(const com::Variant& v, std::string& converted) {
    if (const std::string* s = std::get_if<std::string>(&v.raw())) return *s;
    converted = v.toText();
    return converted;
}

}  // namespace

// ---- generation 10 -------------------------------------------------------

int32_t Tester::SaveResult10(const com::Variant& strXMLResultText) {
    Context& mv = threadContext();
    std::string converted;
    std::string_view raw;
    // The failure path: the status from the failure's description; a result
    // lost on the network is kept for resend when the INI file asks for it.
    auto failed = [&](const std::string& description) {
        int32_t status = calcErr(description);
        if (mv.settings.resendOnNetErr == "YES" && status != 9999 && !SaveResultForResend(raw)) status = 9998;
        return status;
    };
    try {
        raw = resultText(strXMLResultText, converted);
        log({kCrLf, "XML From Tester", kCrLf, raw, kCrLf}, 2);

        const auto docRef = mv.documents.result;
        const auto headerRef = mv.documents.headerStyleSheet;
        const auto styleRef = mv.documents.resultStyleSheet;
        xml::Document& doc = need(docRef);
        doc.setAsync(false);
        // Not well-formed, or invalid against the schema of its namespace.
        if (!doc.loadXML(raw)) {
            log(parseFailure(doc.parseError()), 1);
            return 10;
        }
        const std::string header = doc.transformNode(need(headerRef));
        const std::string transformed = doc.transformAndLoad(need(styleRef));
        log({kCrLf, "Transformed XML", kCrLf, transformed, kCrLf}, 2);
        if (doc.parseError().errorCode != 0) {
            log(parseFailure(doc.parseError()), 1);
            return 10;
        }

        const std::vector<std::string> statuses = doc.selectNodes("//DUT/@STATUS");
        if (anyTerminate(statuses)) {
            log("Result is not saved to database", 2);
            return 0;
        }
        const bool allPassed = std::all_of(statuses.begin(), statuses.end(),
                                           [](const std::string& s) { return isPassWord(text::toUpper(s)); });

        std::string_view payload;
        std::string unitId;
        int16_t method = 0;
        TempFile body;  // "TempFile": the full result, staged in the buffer folder before the header is sent
        if (allPassed) {
            const std::vector<std::string> ids = doc.selectNodes("//DUT/@ID");
            if (ids.empty()) throw xml::Error("the result document has no DUT element with an ID attribute");
            unitId = ids[0];
            std::string lookupFailure;
            method = GetTestResultConfig(unitId, &lookupFailure);
            if (method == 999) return failed(lookupFailure);  // logged by the lookup
            if (method == 0) {
                payload = transformed;
            } else if (method == 1) {
                const std::string& folder = mv.resultBufferFolder;
                if (!CheckFolderExists(folder)) {
                    log("SaveResult10: Network Folder NOT EXISTS>> " + folder, 2);
                    return -9999;
                }
                if (std::string why = writeTemp(bufferName(folder, unitId, "_pending-XXXXXX.tmp"), 4,
                                                transformed, body);
                    !why.empty()) {
                    log(folderFailure("CreateFileInFolder", why, folder), 1);
                    return -9999;
                }
                payload = header;
                log({kCrLf, "XML Header", kCrLf, header, kCrLf}, 2);
            }
        } else {
            payload = transformed;
        }

        db::Command cmd = storedProcedure(context_, "uspTestSaveResult");
        cmd.append("return", db::adInteger, db::adParamReturnValue, 0, 0);
        cmd.append("@strXML", db::adLongVarChar, db::adParamInput, results::doubleApostrophes(payload));
        cmd.append("@TestID", db::adDouble, db::adParamOutput, {}, 0);
        cmd.execute();

        int32_t status = cmd.value("return").toInt32();
        if (status == 0) lastTestId_ = testIdOf(cmd.parameters()[2].value);
        if (status >= 1) {
            log("SaveResult10 returned value=" + std::to_string(status), 1);
        } else if (allPassed && method == 1) {
            // The header is stored: the body is renamed, or stays where it is.
            const int32_t testId = cmd.parameters()[2].value.toInt32();
            const int16_t rc = CreateFileInFolder(mv.resultBufferFolder, body.path, unitId, testId);
            body.path.clear();
            if (rc != 0) {
                log("SaveResult10 returned value=" + std::to_string(rc), 1);
                status = rc;
            }
        }
        return status;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        return failed(e.what());
    }
}

// ---- generation 20 and later ---------------------------------------------

int32_t Tester::SaveResult20(const com::Variant& strXMLResultText) {
    Context& mv = threadContext();
    std::optional<db::Command> cmd;
    try {
        const std::string stamp = results::localTimeText();
        std::string converted;
        const std::string_view raw = resultText(strXMLResultText, converted);
        log(raw, 2);

        const auto docRef = mv.documents.result;
        const auto styleRef = mv.documents.resultStyleSheet;
        xml::Document& doc = need(docRef);
        doc.setAsync(false);
        doc.loadXML(raw);
        if (doc.parseError().errorCode != 0) {
            log(parseFailure(doc.parseError()), 1);
            return 10;
        }

        xml::Document& style = need(styleRef);
        style.setProperty("AllowXsltScript", true);
        const std::string transformed = doc.transformNode(style);

        if (anyTerminate(doc.selectNodes("//DUT/@STATUS"))) {
            log("Result is not saved to database", 2);
            return 0;
        }
        log(transformed, 2);

        cmd.emplace(storedProcedure(context_, mv.settings.saveResultProcedure));
        cmd->append("RETURN", db::adInteger, db::adParamReturnValue, 0, 0);
        cmd->append("@strXmlTestResult", db::adLongVarChar, db::adParamInput, results::doubleApostrophes(transformed));
        cmd->append("@EnterTime", db::adVarChar, db::adParamInput, stamp);
        cmd->append("@ExitTime", db::adVarChar, db::adParamInput, stamp);
        cmd->execute();

        const int32_t status = cmd->value("RETURN").toInt32();
        if (status > 0) log("SaveResult20 returned value=" + std::to_string(status), 1);
        return status;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        return results::returnOr9999(cmd);
    }
}

// ---- resend queue -----------------------------------------------------------

bool Tester::SaveResultForResend(std::string_view text) {
    if (resending_) return true;  // a result sent again from its file stays there, once
    const ResendQueue queue(results::resendFilePath());
    std::string kept;
    std::string why = makeFolders(queue.folder());
    if (why.empty()) why = queue.add(text, kept);
    if (!why.empty()) {
        log("Cannot keep the result for resend in " + queue.base() + ": " + why, 1);
        return false;
    }
    log("Save result into " + kept + " for resend", 1);
    return true;
}

// Sends the kept results again, oldest first, and stops at the first that
// is not stored (0): it and the later ones stay, in order.
int32_t Tester::ResendLastResult() {
    const ResendQueue queue(results::resendFilePath());
    std::vector<std::string> kept;
    uint64_t last = 0;
    if (std::string why = queue.list(kept, last, true); !why.empty()) {
        log("Cannot read the resend folder " + queue.folder() + ": " + why, 1);
        return 9997;
    }
    for (size_t i = 0; i < kept.size(); ++i) {
        const std::string& path = kept[i];
        struct stat st{};
        if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) continue;  // sent by another process
        if (S_ISDIR(st.st_mode)) {
            log(path + " is a folder, not a kept result: passed over", 1);
            continue;
        }
        std::string text;
        if (std::string why = readPlainFile(path, text); !why.empty()) {
            log("Cannot read the resend file " + path + ": " + why, 1);
            return 9997;
        }
        log("Resend Last Result", 1);
        resending_ = true;
        const int32_t status = SaveResult(com::Variant(std::move(text)));
        resending_ = false;
        if (status != 0) return status;
        if (std::string why = queue.remove(kept, i); !why.empty()) {
            log("Cannot delete the resend file " + path + ": " + why, 1);
            return 9997;
        }
    }
    return 0;
}

// ---- delivery method and buffer folder ---------------------------------------

int16_t Tester::GetTestResultConfig(const std::string& unitId, std::string* failure) {
    Context& mv = threadContext();
    try {
        db::Command cmd;
        cmd.activeConnection = mv.connections.master;
        cmd.timeout = mv.settings.commandTimeout;
        // One batch; each value is one string literal.
        cmd.text = "if exists (select 1 from sysobjects where name='uspGetTestResultConfig') "
                   "exec uspGetTestResultConfig '" +
                   results::doubleApostrophes(unitId) + "','" + results::doubleApostrophes(mv.settings.station) +
                   "' else select 0 Method, '' Dest";
        cmd.type = db::adCmdText;
        db::Recordset rs = cmd.execute();
        if (rs.eof() || rs.bof()) {
            log("No data returned from uspGetTestResultConfig", 1);
            return 666;
        }
        const std::string method = rs.field("Method").toText();
        const std::string dest = rs.field("Dest").toText();
        rs.close();
        if (method == "TempFile") {
            mv.resultBufferFolder = dest;
            return 1;
        }
        if (method == "MSMQ") return 2;
        mv.resultBufferFolder.clear();
        return 0;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        log("Failed to retrieve slaved info from uspGetTestResultConfig", 1);
        if (failure != nullptr) *failure = e.what();
        return 999;
    }
}

bool Tester::CheckFolderExists(const std::string& folder) {
    if (folder.empty() || hasNul(folder)) return false;
    struct stat st{};
    if (::stat(folder.c_str(), &st) == 0) return true;  // a plain file counts as found
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR) return false;
    log(folderFailure("CheckFolderExists", errnoText(err), folder), 1);
    return false;
}

int16_t Tester::CreateFileInFolder(const std::string& folder, const std::string& staged, const std::string& unitId,
                                   int32_t testId) {
    const std::string name = bufferName(folder, unitId, "_" + std::string(testId < 0 ? "N" : "") +
                                                            std::to_string(testId) + ".xml");
    if (::rename(staged.c_str(), name.c_str()) != 0) {
        log(folderFailure("CreateFileInFolder", errnoText(errno) + "; the result stays in " + staged, folder), 1);
        return -9999;
    }
    syncFolder(folder);
    log("Buffered result into " + name, 1);
    return 0;
}

}  // namespace dz
