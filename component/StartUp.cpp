#include "component/StartUp.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>

#include "component/Files.h"
#include "component/Results.h"
#include "component/Scramble.h"
#include "platform/com/module.h"
#include "platform/db/db.h"
#include "platform/profile/profile.h"
#include "platform/text.h"
#include "platform/xml/escape.h"

namespace dz {

namespace {

// The unit-info style sheet used when the component folder has no GetUnitInfo.xsl.
constexpr const char* kBuiltInUnitInfoStyleSheet =
    "<xsl:stylesheet xmlns:xsl = \"http://www.w3.org/1999/XSL/Transform\" "
    "xmlns:t=\"urn:GetUnitInfo-schema\" xmlns:ms=\"urn:schemas-microsoft-com:xslt\" version=\"1.0\">"
    "<xsl:output method=\"xml\" version=\"1.0\" encoding=\"utf-8\"/>"
    "<xsl:template match=\"/t:GetUnitInfo\">"
    "<xsl:element name=\"SerialNumber\">"
    "<xsl:for-each select=\"@*\">"
    "<xsl:element name=\"S\">"
    "<xsl:attribute name=\"Descr\">"
    "<xsl:text>ANY</xsl:text>"
    "</xsl:attribute>"
    "<xsl:value-of select=\"current()\" />"
    "</xsl:element>"
    "</xsl:for-each>"
    "</xsl:element>"
    "</xsl:template>"
    "</xsl:stylesheet>";

// Start-up goes on after a failing step, keeping that step's setting as it was.
void step(const std::function<void()>& f) {
    try {
        f();
    } catch (...) {
    }
}

// An INI number, converted as the Windows conversion does (blanks around, a
// sign, a fraction rounded half to even). Text that is no number ("True"
// included), or a number outside T, throws or returns and leaves `out` as it was.
template <typename T>
void convertWhole(const std::string& s, T& out) {
    if (s.find_first_of("0123456789") == std::string::npos) return;
    const int32_t v = db::Value(s).toInt32();
    if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) return;
    out = T(v);
}

std::string connectionString(const std::string& password, const std::string& user, const std::string& database,
                             const std::string& server) {
    std::string bare = text::replaceAll(text::replaceAll(server, "[", ""), "]", "");
    return "Provider=SQLOLEDB;Password=" + password + ";User ID=" + user + ";Initial Catalog=" + database +
           ";Data Source=" + bare + ";Network Library=DBMSSOCN;";
}

db::Command masterCommand(const Context& context, std::string text, db::CommandType type) {
    db::Command cmd;
    cmd.activeConnection = context.connections.master;
    cmd.client = context.settings.client;
    cmd.timeout = context.settings.commandTimeout;
    cmd.text = std::move(text);
    cmd.type = type;
    return cmd;
}

}  // namespace

std::string builtInUnitInfoStyleSheet() { return kBuiltInUnitInfoStyleSheet; }

int16_t StartUp::run(const std::string& iniFileName) {
    readSettings(iniFileName);

    // Without its INI file the component runs on defaults that reach no
    // database; the log names the file it looked for.
    if (::access(iniFileName.c_str(), R_OK) != 0)
        log("Cannot read the INI file " + iniFileName + ": " + std::strerror(errno) + "; defaults used", 1);

    failure_.clear();
    detectGeneration();
    const int16_t status = resolveConnection(context.settings.station);
    if (status > 0) {
        log("CLASS INIT FAILED. GetSlaveConn RetCode=" + std::to_string(status), 1);
        return status;
    }
    loadDocuments(componentFolder());
    log("CLASS INIT OK", 1);
    return 0;
}

void StartUp::readSettings(const std::string& iniFileName) {
    db::takeDiagnostics();  // start-up's failure carries only its own records
    const profile::File iniFile(iniFileName);  // read once for all keys
    auto ini = [&](const char* section, const char* key, const char* def) {
        return text::trim(iniFile.getString(section, key, def));
    };

    step([&] { context.settings.user = ini("DATABASE", "USER", "MISSING"); });
    step([&] { context.settings.password = ini("DATABASE", "PWD", "MISSING"); });
    step([&] { context.settings.server = ini("DATABASE", "SERVER", "MISSING"); });
    step([&] { context.settings.database = ini("DATABASE", "DATABASE", "MISSING"); });
    context.connections.master = "Provider=SQLOLEDB;Password=" + context.settings.password + ";User ID=" + context.settings.user +
                             ";Initial Catalog=" + context.settings.database + ";Data Source=" + context.settings.server +
                             ";Network Library=DBMSSOCN;";
    step([&] { context.settings.station = ini("STATION", "STATION", "MISSING"); });
    step([&] { context.settings.resultStyleSheet = ini("XML", "xslFileName", "DEZozevo.xsl"); });
    step([&] { context.settings.resultSchema = ini("XML", "schemaFileName", "SaveResult.xsd"); });
    step([&] { convertWhole(ini("LOG", "LEVEL", "1"), context.settings.logLevel); });
    step([&] { context.settings.resultNamespace = ini("XML", "TargetURN", "urn:SaveResult-schema"); });
    step([&] { context.settings.resendOnNetErr = text::toUpper(ini("ERROR", "ResendOnNetErr", "no")); });
    step([&] { context.settings.resendFolder = ini("ERROR", "ResendFolder", ""); });
    step([&] { context.settings.resendOnGeneration20 = text::toUpper(ini("ERROR", "ResendOnGen20", "no")) == "YES"; });
    step([&] { convertWhole(ini("DATABASE", "TimeOut", "60"), context.settings.commandTimeout); });
    // How the driver reaches a real server; the driver checks the values.
    context.settings.client = db::ClientOptions{};
    step([&] {
        db::ClientOptions& c = context.settings.client;
        c.driver = ini("DATABASE", "Driver", "");
        c.encrypt = ini("DATABASE", "Encrypt", "");
        c.trustServerCertificate = ini("DATABASE", "TrustServerCertificate", "");
        c.caFile = ini("DATABASE", "CAFile", "");
        c.hostNameInCertificate = ini("DATABASE", "HostNameInCertificate", "");
        c.loginTimeout = ini("DATABASE", "LoginTimeout", "");
    });
    step([&] { context.settings.saveAsTempSN = ini("SERIALNUMBER", "SaveAsTempSN", "None"); });
    step([&] { context.settings.unitInfoProcedure = ini("CUSTOMIZATION", "SPToGetUnitInfo", "objTSKGetUnitInfo"); });
    step([&] { context.settings.saveResultProcedure = ini("CUSTOMIZATION", "SPToSaveTestResult", "objTSKSaveTestResult"); });
    if (context.settings.unitInfoProcedure.empty()) context.settings.unitInfoProcedure = "objTSKGetUnitInfo";
    step([&] { context.settings.productStructureProcedure = ini("CUSTOMIZATION", "SPToGetProductStructure ", ""); });
    if (context.settings.productStructureProcedure.empty()) context.settings.productStructureProcedure = "zeradurGetProductStructure";
    if (context.settings.saveResultProcedure.empty()) context.settings.saveResultProcedure = "objTSKSaveTestResult";
    context.connections.working = "";
}

void StartUp::loadDocuments(const std::string& folder) {
    // File names are always taken relative to the component folder.
    auto path = [&](const std::string& name) { return folder + "/" + name; };
    step([&] {
        context.documents.result = std::make_shared<xml::Document>();
        context.documents.result->setAsync(false);
    });
    if (text::toUpper(context.settings.resultSchema) != "NONE") {
        step([&] {
            context.documents.resultSchemas = std::make_shared<xml::SchemaCache>();
            context.documents.resultSchemas->add(context.settings.resultNamespace, path(context.settings.resultSchema));
        });
        step([&] { context.documents.result->setSchemas(context.documents.resultSchemas); });
    }
    step([&] {
        context.documents.resultStyleSheet = std::make_shared<xml::Document>();
        context.documents.resultStyleSheet->setAsync(false);
        context.documents.resultStyleSheet->load(path(context.settings.resultStyleSheet));
    });
    step([&] {
        context.documents.headerStyleSheet = std::make_shared<xml::Document>();
        context.documents.headerStyleSheet->setAsync(false);
        context.documents.headerStyleSheet->load(path("GetHeader.xsl"));
    });
    step([&] {
        context.documents.unitRequest = std::make_shared<xml::Document>();
        context.documents.unitRequest->setResolveExternals(true);
        context.documents.unitRequest->setExternalsFolder(folder);  // the site's own DTDs, nothing else
    });
    step([&] {
        context.documents.validatedRequest = std::make_shared<xml::Document>();
        context.documents.unitInfoStyleSheet = std::make_shared<xml::Document>();
        context.documents.unitInfoSchemas = std::make_shared<xml::SchemaCache>();
    });
    step([&] { context.documents.unitInfoSchemas->add("urn:GetUnitInfo-schema", path("GetUnitInfo.xsd")); });
    step([&] { context.documents.validatedRequest->setSchemas(context.documents.unitInfoSchemas); });
    step([&] {
        context.documents.unitInfoXslFound = false;
        std::string xsl = path("GetUnitInfo.xsl");
        context.documents.unitInfoXslFound = fileExists(xsl);
    });
    step([&] {
        if (context.documents.unitInfoXslFound)
            context.documents.unitInfoStyleSheet->load(path("GetUnitInfo.xsl"));
        else
            context.documents.unitInfoStyleSheet->loadXML(kBuiltInUnitInfoStyleSheet);
    });
}

void StartUp::detectGeneration() {
    try {
        db::Command cmd = masterCommand(context,
            "if exists (select 1 from sysobjects where name='fsLanguage') "
            "begin if exists (select 1 from sysobjects where name='fsServerInfo') select 24 "
            "else if exists (select 1 from sysobjects where name='objUTLGetErrMessage') select 23 "
            "else if exists (select 1 from syscolumns where ID = object_id('objTSKGetUnitInfo') and name='@UserID') "
            "select 22 "
            "else select 20  end else select 10;",
            db::adCmdText);
        db::Recordset rs = cmd.execute();
        const int32_t n = rs.field(size_t(0)).toInt32();
        if (n < -32768 || n > 32767) throw db::Error("Overflow");
        rs.close();
        context.profile.generation = int16_t((n / 10) * 10);
        context.profile.revision = int16_t(n % 10);
    } catch (const std::exception& e) {
        failure_ = e.what();
        log(std::string("Runtime error in GetTWVer ") + e.what(), 1);
    }
}

int16_t StartUp::resolveConnection(const std::string& station) {
    switch (context.profile.generation) {
        case 10: return resolve10(station);
        case 20: return resolve20(station);
        default: return 100;
    }
}

int16_t StartUp::resolve10(const std::string& station) {
    try {
        db::Command cmd = masterCommand(context,
            "if exists (select 1 from sysobjects where name='uspGetSlaveInfo') exec uspGetSlaveInfo '" +
                results::doubleApostrophes(station) + "' else select 0 Error, 0 MasterSlaveSolution",
            db::adCmdText);
        db::Recordset rs = cmd.execute();
        if (rs.eof() || rs.bof()) {
            log("No data returned from uspGetSlaveInfo", 1);
            return 30;
        }
        const int32_t error = rs.field("Error").toInt32();
        if (error != 0) {
            log("errCode=" + std::to_string(error) + ", Descr=Error code from uspGetSlaveInfo SP", 1);
            return 20;
        }
        if (rs.field("MasterSlaveSolution").toInt32() != 1) {
            context.connections.working = context.connections.master;
        } else {
            const std::string server = rs.field("ServerName").toText();
            const std::string database = rs.field("DatabaseName").toText();
            const std::string user = rs.field("UserName").toText();
            const std::string password = UnscramblePassword(rs.field("UserPassword").toText());
            context.connections.working = connectionString(password, user, database, server);
            log("Slave Server=" + server, 2);
        }
        rs.close();
        return 0;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        log("Failed to retrieve slave info from uspGetSlaveInfo", 1);
        return 10;
    }
}

int16_t StartUp::resolve20(const std::string& station) {
    if (context.profile.revision <= 3) {
        context.connections.working = context.connections.master;
        return 0;
    }
    try {
        db::Command cmd = masterCommand(context, "objUTLGetSlaveConnection", db::adCmdStoredProc);
        cmd.append("return", db::adInteger, db::adParamReturnValue, {}, 0);
        cmd.append("@xmlStation", db::adVarChar, db::adParamInput,
                   "<StationInfo Description=\"" + xml::escaped(station) + "\"/>");
        db::Recordset rs = cmd.execute();
        const db::Value ret = cmd.value("return");
        // A return value not yet delivered counts as not greater than 0.
        if (!ret.isNull() && ret.toInt32() > 0) return 10;
        if (rs.eof() || rs.bof()) {
            log("No data returned from objUTLGetSlaveConnection", 1);
            return 30;
        }
        const std::string instance = rs.field("InstanceName").toText();
        const std::string database = rs.field("DatabaseName").toText();
        context.connections.working = connectionString(context.settings.password, context.settings.user, database, instance);
        log("Slave Server=" + instance, 2);
        rs.close();
        return 0;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        log("Failed to retrieve slave info from objUTLGetSlaveConnection", 1);
        return 10;
    }
}

}  // namespace dz
