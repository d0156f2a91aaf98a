// Tester: start-up, tear-down and the dispatch of each public method to the
// worker that serves the detected server generation.
#include "DEZozevoDLL/Tester.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <functional>

#include "DEZozevoDLL/Context.h"
#include "platform/db/db.h"
#include "platform/profile/profile.h"
#include "platform/text.h"

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

// The status of a method that has a worker on generation 10 only: 0 on
// generation 20, whose unit query checks the route itself, but 100 when no
// generation was detected: a component that never reached its database
// gives no go-ahead and stores nothing.
int32_t noWorker() { return threadContext().profile.generation == 20 ? 0 : 100; }

}  // namespace

std::string builtInUnitInfoStyleSheet() { return kBuiltInUnitInfoStyleSheet; }

Tester::Tester()
    : context_(threadContext()),
      log_(context_),
      route_(context_, log_),
      orders_(context_, log_),
      attributes_(context_, log_),
      auxiliary_(context_, log_),
      owner_(std::this_thread::get_id()) {
    ++threadContext().liveTesters;
    Class_Initialize();
    endCall(startupStatus_);
}

Tester::~Tester() {
    // Released on a foreign thread: that thread's settings are not ours to
    // touch, so the owner thread keeps its documents until it ends.
    if (std::this_thread::get_id() == owner_) Class_Terminate();
}

void Tester::checkThread() const {
    if (std::this_thread::get_id() != owner_)
        throw com::Error("The application called an interface that was marshalled for a different thread.");
}

void Tester::Class_Initialize() {
    Context& mv = threadContext();
    db::takeDiagnostics();  // start-up's failure carries only its own records
    const std::string folder = componentFolder();
    IniFileName = folder + "/DEZozevo.ini";
    const profile::File iniFile(IniFileName);  // read once for all keys
    auto ini = [&](const char* section, const char* key, const char* def) {
        return text::trim(iniFile.getString(section, key, def));
    };

    step([&] { mv.settings.user = ini("DATABASE", "USER", "MISSING"); });
    step([&] { mv.settings.password = ini("DATABASE", "PWD", "MISSING"); });
    step([&] { mv.settings.server = ini("DATABASE", "SERVER", "MISSING"); });
    step([&] { mv.settings.database = ini("DATABASE", "DATABASE", "MISSING"); });
    mv.connections.master = "Provider=SQLOLEDB;Password=" + mv.settings.password + ";User ID=" + mv.settings.user +
                             ";Initial Catalog=" + mv.settings.database + ";Data Source=" + mv.settings.server +
                             ";Network Library=DBMSSOCN;";
    step([&] { mv.settings.station = ini("STATION", "STATION", "MISSING"); });
    step([&] { mv.settings.resultStyleSheet = ini("XML", "xslFileName", "DEZozevo.xsl"); });
    step([&] { mv.settings.resultSchema = ini("XML", "schemaFileName", "SaveResult.xsd"); });
    step([&] { convertWhole(ini("LOG", "LEVEL", "1"), mv.settings.logLevel); });
    step([&] { mv.settings.resultNamespace = ini("XML", "TargetURN", "urn:SaveResult-schema"); });
    step([&] { mv.settings.resendOnNetErr = text::toUpper(ini("ERROR", "ResendOnNetErr", "no")); });
    step([&] { mv.settings.resendFolder = ini("ERROR", "ResendFolder", ""); });
    step([&] { mv.settings.resendOnGeneration20 = text::toUpper(ini("ERROR", "ResendOnGen20", "no")) == "YES"; });
    step([&] { convertWhole(ini("DATABASE", "TimeOut", "60"), mv.settings.commandTimeout); });
    // How the driver reaches a real server; the driver checks the values.
    mv.settings.client = db::ClientOptions{};
    step([&] {
        db::ClientOptions& c = mv.settings.client;
        c.driver = ini("DATABASE", "Driver", "");
        c.encrypt = ini("DATABASE", "Encrypt", "");
        c.trustServerCertificate = ini("DATABASE", "TrustServerCertificate", "");
        c.caFile = ini("DATABASE", "CAFile", "");
        c.hostNameInCertificate = ini("DATABASE", "HostNameInCertificate", "");
        c.loginTimeout = ini("DATABASE", "LoginTimeout", "");
    });
    step([&] { mv.settings.saveAsTempSN = ini("SERIALNUMBER", "SaveAsTempSN", "None"); });
    step([&] { mv.settings.unitInfoProcedure = ini("CUSTOMIZATION", "SPToGetUnitInfo", "objTSKGetUnitInfo"); });
    step([&] { mv.settings.saveResultProcedure = ini("CUSTOMIZATION", "SPToSaveTestResult", "objTSKSaveTestResult"); });
    if (mv.settings.unitInfoProcedure.empty()) mv.settings.unitInfoProcedure = "objTSKGetUnitInfo";
    step([&] { mv.settings.productStructureProcedure = ini("CUSTOMIZATION", "SPToGetProductStructure ", ""); });
    if (mv.settings.productStructureProcedure.empty()) mv.settings.productStructureProcedure = "zeradurGetProductStructure";
    if (mv.settings.saveResultProcedure.empty()) mv.settings.saveResultProcedure = "objTSKSaveTestResult";
    mv.connections.working = "";

    // Without its INI file the component runs on defaults that reach no
    // database; the log names the file it looked for.
    if (::access(IniFileName.c_str(), R_OK) != 0)
        log("Cannot read the INI file " + IniFileName + ": " + std::strerror(errno) + "; defaults used", 1);

    startupFailure_.clear();
    GetTWVer();
    const int16_t status = GetSlaveConn(mv.settings.station);
    startupStatus_ = status;

    if (status > 0) {
        log("CLASS INIT FAILED. GetSlaveConn RetCode=" + std::to_string(status), 1);
        return;
    }

    // File names are always taken relative to the component folder.
    auto path = [&](const std::string& name) { return folder + "/" + name; };
    step([&] {
        mv.documents.result = std::make_shared<xml::Document>();
        mv.documents.result->setAsync(false);
    });
    if (text::toUpper(mv.settings.resultSchema) != "NONE") {
        step([&] {
            mv.documents.resultSchemas = std::make_shared<xml::SchemaCache>();
            mv.documents.resultSchemas->add(mv.settings.resultNamespace, path(mv.settings.resultSchema));
        });
        step([&] { mv.documents.result->setSchemas(mv.documents.resultSchemas); });
    }
    step([&] {
        mv.documents.resultStyleSheet = std::make_shared<xml::Document>();
        mv.documents.resultStyleSheet->setAsync(false);
        mv.documents.resultStyleSheet->load(path(mv.settings.resultStyleSheet));
    });
    step([&] {
        mv.documents.headerStyleSheet = std::make_shared<xml::Document>();
        mv.documents.headerStyleSheet->setAsync(false);
        mv.documents.headerStyleSheet->load(path("GetHeader.xsl"));
    });
    step([&] {
        mv.documents.unitRequest = std::make_shared<xml::Document>();
        mv.documents.unitRequest->setResolveExternals(true);
        mv.documents.unitRequest->setExternalsFolder(folder);  // the site's own DTDs, nothing else
    });
    step([&] {
        mv.documents.validatedRequest = std::make_shared<xml::Document>();
        mv.documents.unitInfoStyleSheet = std::make_shared<xml::Document>();
        mv.documents.unitInfoSchemas = std::make_shared<xml::SchemaCache>();
    });
    step([&] { mv.documents.unitInfoSchemas->add("urn:GetUnitInfo-schema", path("GetUnitInfo.xsd")); });
    step([&] { mv.documents.validatedRequest->setSchemas(mv.documents.unitInfoSchemas); });
    step([&] {
        mv.documents.unitInfoXslFound = false;
        std::string xsl = path("GetUnitInfo.xsl");
        mv.documents.unitInfoXslFound = FileExists(xsl);
    });
    step([&] {
        if (mv.documents.unitInfoXslFound)
            mv.documents.unitInfoStyleSheet->load(path("GetUnitInfo.xsl"));
        else
            mv.documents.unitInfoStyleSheet->loadXML(kBuiltInUnitInfoStyleSheet);
    });
    log("CLASS INIT OK", 1);
}

void Tester::healStartup() {
    const int16_t generation = threadContext().profile.generation;
    if (generation == 10 || generation == 20) return;
    log("No server generation was detected at start-up: starting up again", 2);
    Class_Initialize();
}

void Tester::Class_Terminate() {
    // The thread's shared documents go with its last Tester, not while
    // other Testers on the thread still use them.
    Context& mv = threadContext();
    if (--mv.liveTesters > 0) return;
    mv.documents.resultSchemas.reset();
    mv.documents.resultStyleSheet.reset();
    mv.documents.result.reset();
    mv.documents.unitRequest.reset();
}

// ---- dispatch ------------------------------------------------------------

int32_t Tester::CheckRoute(std::string strUnitSN, std::string strStation) {
    healStartup();
    if (context_.profile.generation == 10) return route_.check(strUnitSN, strStation);
    return noWorker();
}

int32_t Tester::GetUnitInfo(std::string strRequest, std::string& strUnitInfo, std::string strStationName,
                            std::string strUserID) {
    healStartup();
    if (!strStationName.empty()) {
        const int16_t status = GetSlaveConn(strStationName);
        if (status > 0) return status;
    }
    switch (threadContext().profile.generation) {
        case 10: return GetUnitInfo10(strRequest, strUnitInfo, strStationName);
        case 20: return GetUnitInfo20(strRequest, strUnitInfo, strStationName, strUserID);
        default: return 100;
    }
}

int32_t Tester::GetCalibrationInfo(std::string& strCalibrationInfo, std::string strStationName,
                                   std::string strFixture) {
    healStartup();
    if (context_.profile.generation == 10)
        return attributes_.calibrationInfo(strCalibrationInfo, strStationName, strFixture);
    return noWorker();
}

int32_t Tester::SaveCalibration(std::string strCalibration) {
    healStartup();
    if (context_.profile.generation == 10) return attributes_.saveCalibration(strCalibration);
    return noWorker();
}

int32_t Tester::GetOrderInfo(std::string& strWorkOrderInfo, std::string strStationName) {
    healStartup();
    return orders_.info(strWorkOrderInfo, strStationName);
}

int32_t Tester::GetOrderInfoByStation(std::string& strWorkOrderInfo, std::string strStationName) {
    healStartup();
    return orders_.byStation(strWorkOrderInfo, strStationName);
}

int32_t Tester::GetModelAttributes(std::string& strModelInfo, std::string strPartNumber, std::string strPartRev) {
    healStartup();
    return orders_.modelAttributes(strModelInfo, strPartNumber, strPartRev);
}

int32_t Tester::GetUnitAttributes(std::string strRequest, std::string& strUnitInfo, std::string strStationName) {
    healStartup();
    if (context_.profile.generation == 10) return attributes_.unitAttributes(strRequest, strUnitInfo, strStationName);
    return noWorker();
}

std::string Tester::GetErrMessage(int32_t nErrCode) {
    healStartup();
    return auxiliary_.errMessage(nErrCode);
}

int32_t Tester::GetProductStructure(std::string xmlPart, std::string& xmlProductStructure,
                                    std::string& ErrorDescription) {
    healStartup();
    return auxiliary_.productStructure(xmlPart, xmlProductStructure, ErrorDescription);
}

int32_t Tester::GetGenericFunction(std::string xmlIn, std::string& xmlOut, std::string& ErrorDescription,
                                   std::string FunctionName) {
    healStartup();
    return auxiliary_.genericFunction(xmlIn, xmlOut, ErrorDescription, FunctionName, IniFileName);
}

int32_t Tester::SaveResult(const com::Variant& strXMLResultText) {
    healStartup();
    lastTestId_.reset();
    switch (threadContext().profile.generation) {
        case 10: return SaveResult10(strXMLResultText);
        case 20: return SaveResult20(strXMLResultText);
        default: return keepWhileDown(strXMLResultText);
    }
}

std::string Tester::GetLastError() {
    return "OK";
}

std::string Tester::GetProfileItem(std::string strSectionName, std::string strKeyName, std::string strDefaultValue,
                                   std::string strIniFile) {
    return profile::getString(strSectionName, strKeyName, strDefaultValue, strIniFile);
}

std::string Tester::getStation() {
    return threadContext().settings.station;
}

}  // namespace dz
