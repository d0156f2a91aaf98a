// Result upload on both server generations, the delivery-method lookup, the
// buffer folder and the local resend file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <system_error>

#include "DEZozevoDLL/Query.h"
#include "DEZozevoDLL/Results.h"
#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/modVariables.h"
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

// Replaces `path` by a file holding exactly `data`, so that the file on disk is
// always either the old one or the whole new one: the data goes to a temporary
// file in the same folder, is flushed to the disk and is then renamed over the
// old file. Renaming never follows a link at `path`; with `refuseOddFile` a
// link, folder or device found there is refused instead of replaced.
// Returns "" on success, else why not.
std::string replaceFile(const std::string& path, const std::string& data, bool refuseOddFile) {
    if (path.empty() || hasNul(path)) return "invalid file name";
    const std::string folder = parentOf(path);
    struct stat st{};
    if (refuseOddFile && ::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return "it is not a plain file (a link, folder or device is never followed or replaced)";

    std::string temp = folder + "/.dz-tmp-XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return errnoText(errno);
    auto fail = [&](int err) {
        ::close(fd);
        ::unlink(temp.c_str());
        return errnoText(err);
    };
    if (::fchmod(fd, 0644) != 0) return fail(errno);
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(errno);
        }
        done += size_t(n);
    }
    if (::fsync(fd) != 0) return fail(errno);
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return errnoText(err);
    }
    if (refuseOddFile && ::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        ::unlink(temp.c_str());
        return "it is not a plain file (a link, folder or device is never followed or replaced)";
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return errnoText(err);
    }
    // Make the rename itself durable.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return "";
}

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

// The unit ID as part of one file name inside the buffer folder: path
// separators and control characters become "_", and so does a leading dot
// (no hidden files, no "." or ".." names).
std::string fileNamePart(const std::string& unitId) {
    std::string r = unitId;
    for (char& c : r) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) c = '_';
    }
    if (!r.empty() && r[0] == '.') r[0] = '_';
    return r;
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
    ModVariables& mv = modVariables();
    std::string converted;
    std::string_view raw;
    try {
        raw = resultText(strXMLResultText, converted);
        log({kCrLf, "XML From Tester", kCrLf, raw, kCrLf}, 2);

        const auto docRef = mv.ResultDocument;
        const auto headerRef = mv.HeaderStyleSheet;
        const auto styleRef = mv.ResultStyleSheet;
        xml::Document& doc = need(docRef);
        doc.setAsync(false);
        if (!doc.loadXML(raw))
            throw xml::Error("the result document cannot be read: " + parseFailure(doc.parseError()));
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
        if (allPassed) {
            const std::vector<std::string> ids = doc.selectNodes("//DUT/@ID");
            if (ids.empty()) throw xml::Error("the result document has no DUT element with an ID attribute");
            unitId = ids[0];
            method = GetTestResultConfig(unitId);
            if (method == 0) {
                payload = transformed;
            } else if (method == 1) {
                if (!CheckFolderExists(mv.ResultBufferFolder)) {
                    log("SaveResult10: Network Folder NOT EXISTS>> " + mv.ResultBufferFolder, 2);
                    return -9999;
                }
                payload = header;
                log({kCrLf, "XML Header", kCrLf, header, kCrLf}, 2);
            }
        } else {
            payload = transformed;
        }

        db::Command cmd = storedProcedure("uspTestSaveResult");
        cmd.append("return", db::adInteger, db::adParamReturnValue, 0, 0);
        cmd.append("@strXML", db::adLongVarChar, db::adParamInput, results::doubleApostrophes(payload));
        cmd.append("@TestID", db::adDouble, db::adParamOutput, {}, 0);
        cmd.execute();

        const int32_t status = cmd.value("return").toInt32();
        if (status >= 1) {
            log("SaveResult10 returned value=" + std::to_string(status), 1);
        } else if (allPassed && method == 1) {
            const int32_t testId = cmd.parameters()[2].value.toInt32();
            const int16_t rc = CreateFileInFolder(mv.ResultBufferFolder, transformed, unitId, testId);
            if (rc != 0) log("SaveResult10 returned value=" + std::to_string(rc), 1);
        }
        return status;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        int32_t status = calcErr(e.what());
        if (mv.ResendOnNetErr == "YES" && status != 9999 && !SaveResultForResend(std::string(raw))) status = 9998;
        return status;
    }
}

// ---- generation 20 and later ---------------------------------------------

int32_t Tester::SaveResult20(const com::Variant& strXMLResultText) {
    ModVariables& mv = modVariables();
    std::optional<db::Command> cmd;
    try {
        const std::string stamp = results::localTimeText();
        std::string converted;
        const std::string_view raw = resultText(strXMLResultText, converted);
        log(raw, 2);

        const auto docRef = mv.ResultDocument;
        const auto styleRef = mv.ResultStyleSheet;
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

        cmd.emplace(storedProcedure(mv.SPToSaveTestResult));
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

// ---- resend file -----------------------------------------------------------

bool Tester::SaveResultForResend(const std::string& text) {
    const std::string path = results::resendFilePath();
    std::string why = makeFolders(parentOf(path));
    if (why.empty()) why = replaceFile(path, text + kCrLf, true);
    if (!why.empty()) {
        log("Cannot keep the result for resend in " + path + ": " + why, 1);
        return false;
    }
    log("Save result into " + path + " for resend", 1);
    return true;
}

int32_t Tester::ResendLastResult() {
    const std::string path = results::resendFilePath();
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) return 0;
        log("Cannot read the resend file " + path + ": " + errnoText(err), 1);
        return 9997;
    }
    std::string text;
    if (std::string why = readPlainFile(path, text); !why.empty()) {
        log("Cannot read the resend file " + path + ": " + why, 1);
        return 9997;
    }
    log("Resend Last Result", 1);
    const int32_t status = SaveResult(com::Variant(text));
    if (status == 0 && ::unlink(path.c_str()) != 0 && errno != ENOENT)
        log("Cannot delete the resend file " + path + ": " + errnoText(errno), 1);
    return status;
}

// ---- delivery method and buffer folder ---------------------------------------

int16_t Tester::GetTestResultConfig(const std::string& unitId) {
    ModVariables& mv = modVariables();
    try {
        db::Command cmd;
        cmd.activeConnection = mv.MasterConnectString;
        cmd.timeout = mv.CommandTimeout;
        // One batch; each value is one string literal.
        cmd.text = "if exists (select 1 from sysobjects where name='uspGetTestResultConfig') "
                   "exec uspGetTestResultConfig '" +
                   results::doubleApostrophes(unitId) + "','" + results::doubleApostrophes(mv.StationName) +
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
            mv.ResultBufferFolder = dest;
            return 1;
        }
        if (method == "MSMQ") return 2;
        mv.ResultBufferFolder.clear();
        return 0;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        log("Failed to retrieve slaved info from uspGetTestResultConfig", 1);
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

int16_t Tester::CreateFileInFolder(const std::string& folder, const std::string& text, const std::string& unitId,
                                   int32_t testId) {
    auto fail = [&](const std::string& why) {
        log(folderFailure("CreateFileInFolder", why, folder), 1);
        return int16_t(-9999);
    };
    // The database already holds the header: a missing folder loses the
    // result's body, so it is reported, not passed over.
    struct stat st{};
    if (folder.empty() || hasNul(folder) || ::stat(folder.c_str(), &st) != 0) return fail("the folder does not exist");

    const std::string name = folder + (folder.back() == '/' ? "" : "/") + fileNamePart(unitId) + "_" +
                             (testId < 0 ? "N" : "") + std::to_string(testId) + ".xml";
    if (std::string why = replaceFile(name, text + kCrLf, false); !why.empty()) return fail(why);
    log("Buffered result into " + name, 1);
    return 0;
}

}  // namespace dz
