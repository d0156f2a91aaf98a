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

#include "component/ResultService.h"

#include "component/BufferFolder.h"
#include "component/Failures.h"
#include "component/Query.h"
#include "component/ResendQueue.h"
#include "component/Results.h"
#include "platform/durable.h"
#include "platform/com/module.h"
#include "platform/text.h"

namespace dz {

namespace results {

std::string resendFilePath(const Settings& settings) {
    const char* moved = std::getenv("DEZOZEVO_RESEND_FILE");
    if (moved != nullptr && *moved != '\0') return moved;
    std::string folder = settings.resendFolder;
    if (folder.empty()) return "/var/lib/dezozevo/DEZozevo_Resend.xml";
    if (folder[0] != '/') folder = componentFolder() + "/" + folder;  // relative to the component folder
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return (folder == "/" ? "" : folder) + "/DEZozevo_Resend.xml";
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

}  // namespace results

using results::need;

namespace {

const std::string kCrLf = "\r\n";

bool hasNul(const std::string& s) { return s.find('\0') != std::string::npos; }

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

int32_t ResultService::save10(const com::Variant& strXMLResultText) {
    std::string converted;
    std::string_view raw;
    // The failure path: the status from the failure's description; a result
    // lost on the network is kept for resend when the INI file asks for it.
    auto failed = [&](const std::string& description) {
        int32_t status = statusOfText(description);
        if (context.settings.resendOnNetErr == "YES" && status != 9999 && !keep(raw)) status = 9998;
        return status;
    };
    try {
        raw = resultText(strXMLResultText, converted);
        log({kCrLf, "XML From Tester", kCrLf, raw, kCrLf}, 2);

        const auto docRef = context.documents.result;
        const auto headerRef = context.documents.headerStyleSheet;
        const auto styleRef = context.documents.resultStyleSheet;
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
        std::string folder;  // the buffer folder of "TempFile"
        int16_t method = 0;
        buffer::StagedFile body;  // "TempFile": the full result, staged in the buffer folder before the header is sent
        if (allPassed) {
            const std::vector<std::string> ids = doc.selectNodes("//DUT/@ID");
            if (ids.empty()) throw xml::Error("the result document has no DUT element with an ID attribute");
            unitId = ids[0];
            std::string lookupFailure;
            method = deliveryMethod(unitId, folder, lookupFailure);
            if (method == 999) return failed(lookupFailure);  // logged by the lookup
            if (method == 0) {
                payload = transformed;
            } else if (method == 1) {
                if (!folderExists(folder)) {
                    log("SaveResult10: Network Folder NOT EXISTS>> " + folder, 2);
                    return -9999;
                }
                if (std::string why = buffer::stage(folder, unitId, transformed, body); !why.empty()) {
                    log(folderFailure("CreateFileInFolder", why, folder), 1);
                    return -9999;
                }
                payload = header;
                log({kCrLf, "XML Header", kCrLf, header, kCrLf}, 2);
            }
        } else {
            payload = transformed;
        }

        db::Command cmd = storedProcedure(context, "uspTestSaveResult");
        cmd.append("return", db::adInteger, db::adParamReturnValue, 0, 0);
        cmd.append("@strXML", db::adLongVarChar, db::adParamInput, results::doubleApostrophes(payload));
        cmd.append("@TestID", db::adDouble, db::adParamOutput, {}, 0);
        cmd.execute();
        uploadAnswered_ = true;

        int32_t status = cmd.value("return").toInt32();
        const std::optional<int32_t> testId = testIdOf(cmd.parameters()[2].value);
        if (status == 0) testId_ = testId;
        if (status >= 1) {
            log("SaveResult10 returned value=" + std::to_string(status), 1);
        } else if (allPassed && method == 1) {
            // The header is stored: the body is renamed, or stays where it is
            // (also when the database gave no test ID to name it by).
            int16_t rc = -9999;
            if (testId)
                rc = moveIntoPlace(folder, body.path, unitId, *testId);
            else
                log(folderFailure("CreateFileInFolder", "no test ID; the result stays in " + body.path, folder), 1);
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

int32_t ResultService::save20(const com::Variant& strXMLResultText) {
    std::optional<db::Command> cmd;
    try {
        const std::string stamp = text::localStamp("%Y-%m-%d %H:%M:%S");
        std::string converted;
        const std::string_view raw = resultText(strXMLResultText, converted);
        log(raw, 2);

        const auto docRef = context.documents.result;
        const auto styleRef = context.documents.resultStyleSheet;
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

        cmd.emplace(storedProcedure(context, context.settings.saveResultProcedure));
        cmd->append("RETURN", db::adInteger, db::adParamReturnValue, 0, 0);
        cmd->append("@strXmlTestResult", db::adLongVarChar, db::adParamInput, results::doubleApostrophes(transformed));
        cmd->append("@EnterTime", db::adVarChar, db::adParamInput, stamp);
        cmd->append("@ExitTime", db::adVarChar, db::adParamInput, stamp);
        cmd->execute();
        uploadAnswered_ = true;

        const int32_t status = cmd->value("RETURN").toInt32();
        if (status > 0) log("SaveResult20 returned value=" + std::to_string(status), 1);
        return status;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        int32_t status = results::returnOr9999(cmd);
        // Lost on the network: kept when the INI file asks for it on this
        // generation too; a result sent again reports the class, so it stays.
        const int32_t netClass = statusOf(e);
        if (status == 9999 && netClass != 9999 && (resending_ || (context.settings.resendOnGeneration20 && context.settings.resendOnNetErr == "YES"))) {
            status = netClass;
            std::string converted;
            if (!resending_ && !keep(resultText(strXMLResultText, converted))) status = 9998;
        }
        return status;
    }
}

// ---- resend queue -----------------------------------------------------------

bool ResultService::keep(std::string_view text) {
    if (resending_) return true;  // a result sent again stays in its own file
    const ResendQueue queue(results::resendFilePath(context.settings));
    std::string kept;
    if (std::string why = queue.keep(text, kept); !why.empty()) {
        log("Cannot keep the result for resend in " + queue.path() + ": " + why, 1);
        return false;
    }
    log("Save result into " + kept + " for resend", 1);
    return true;
}

int32_t ResultService::keepWhileDown(const com::Variant& strXMLResultText, const std::string& startupFailure) {
    const int32_t netClass = statusOfText(startupFailure);
    if (context.settings.resendOnNetErr != "YES" || netClass == 9999) return 100;
    std::string converted;
    std::string_view raw;
    try {
        raw = resultText(strXMLResultText, converted);
    } catch (const std::exception& e) {
        log(e.what(), 1);
        return 100;
    }
    if (!keep(raw)) return 9998;
    replayOwed_ = true;
    return netClass;
}

// Sends the kept results again, oldest first, under the queue's lock. A
// stored result is removed; one the database refused is set aside and the
// replay goes on; any other outcome (the network, a buffer folder missing
// before anything was stored) leaves it and the later ones in place.
int32_t ResultService::resendKept(bool wait) {
    const ResendQueue queue(results::resendFilePath(context.settings));
    std::string why;
    std::optional<ResendQueue::Replay> replay = queue.replay(wait, why);
    if (!replay) {
        if (why.empty()) {  // another process is sending them now
            log("The resend queue " + queue.path() + " is being sent by another process", 2);
            return 0;
        }
        log("Cannot lock the resend queue: " + why, 1);
        return 9997;
    }
    int32_t result = 0;
    while (true) {
        std::optional<ResendQueue::Entry> e = replay->next(why);
        if (!e) {
            if (!why.empty()) {
                log(why, 1);
                result = 9997;
            }
            break;
        }
        log("Resend Last Result", 1);
        resending_ = true;
        uploadAnswered_ = false;
        const int32_t status = upload(com::Variant(std::move(e->text)));
        resending_ = false;
        if (status == 0) {
            if (std::string w = replay->remove(*e); !w.empty()) {
                log("Cannot delete the resend file " + e->path + ": " + w, 1);
                result = 9997;
                break;
            }
            continue;
        }
        const bool refused = (status > 0 || uploadAnswered_) && status != 9001 && status != 9002 && status != 9003;
        if (!refused) {
            result = status;
            break;
        }
        std::string moved;
        if (std::string w = replay->setAside(*e, moved); !w.empty()) {
            log("Cannot set the refused resend file " + e->path + " aside: " + w, 1);
            result = 9997;
            break;
        }
        log("Resend of " + e->path + " refused with status " + std::to_string(status) + ": set aside as " + moved, 1);
    }
    for (const std::string& path : replay->oddEntries()) log(path + " is a folder, not a kept result: passed over", 1);
    return result;
}

int32_t ResultService::upload(const com::Variant& result) {
    testId_.reset();
    return context.profile.generation == 10 ? save10(result) : save20(result);
}

// ---- delivery method and buffer folder ---------------------------------------

int16_t ResultService::deliveryMethod(const std::string& unitId, std::string& folder, std::string& failure) {
    try {
        db::Command cmd;
        cmd.activeConnection = context.connections.master;
        cmd.client = context.settings.client;
        cmd.timeout = context.settings.commandTimeout;
        // One batch; each value is one string literal.
        cmd.text = "if exists (select 1 from sysobjects where name='uspGetTestResultConfig') "
                   "exec uspGetTestResultConfig '" +
                   results::doubleApostrophes(unitId) + "','" + results::doubleApostrophes(context.settings.station) +
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
            folder = dest;
            return 1;
        }
        folder.clear();
        return method == "MSMQ" ? 2 : 0;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        log("Failed to retrieve slaved info from uspGetTestResultConfig", 1);
        failure = e.what();
        return 999;
    }
}

bool ResultService::folderExists(const std::string& folder) {
    if (folder.empty() || hasNul(folder)) return false;
    struct stat st{};
    if (::stat(folder.c_str(), &st) == 0) return true;  // a plain file counts as found
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR) return false;
    log(folderFailure("CheckFolderExists", durable::errnoText(err), folder), 1);
    return false;
}

int16_t ResultService::moveIntoPlace(const std::string& folder, const std::string& staged, const std::string& unitId,
                                     int32_t testId) {
    const std::string name = buffer::finalName(folder, unitId, testId);
    if (::rename(staged.c_str(), name.c_str()) != 0) {
        log(folderFailure("CreateFileInFolder", durable::errnoText(errno) + "; the result stays in " + staged, folder), 1);
        return -9999;
    }
    durable::syncFolder(folder);
    log("Buffered result into " + name, 1);
    return 0;
}

}  // namespace dz
