// Tester: start-up, tear-down and the dispatch of each public method to the
// worker that serves the detected server generation.
#include "DEZozevoDLL/Tester.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <functional>

#include "DEZozevoDLL/modVariables.h"
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
int32_t noWorker() { return modVariables().ServerGeneration == 20 ? 0 : 100; }

}  // namespace

std::string builtInUnitInfoStyleSheet() { return kBuiltInUnitInfoStyleSheet; }

Tester::Tester() : owner_(std::this_thread::get_id()) {
    ++modVariables().liveTesters;
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
    ModVariables& mv = modVariables();
    const std::string folder = componentFolder();
    IniFileName = folder + "/DEZozevo.ini";
    const profile::File iniFile(IniFileName);  // read once for all keys
    auto ini = [&](const char* section, const char* key, const char* def) {
        return text::trim(iniFile.getString(section, key, def));
    };

    step([&] { mv.DbUser = ini("DATABASE", "USER", "MISSING"); });
    step([&] { mv.DbPassword = ini("DATABASE", "PWD", "MISSING"); });
    step([&] { mv.DbServer = ini("DATABASE", "SERVER", "MISSING"); });
    step([&] { mv.DbName = ini("DATABASE", "DATABASE", "MISSING"); });
    mv.MasterConnectString = "Provider=SQLOLEDB;Password=" + mv.DbPassword + ";User ID=" + mv.DbUser +
                             ";Initial Catalog=" + mv.DbName + ";Data Source=" + mv.DbServer +
                             ";Network Library=DBMSSOCN;";
    step([&] { mv.StationName = ini("STATION", "STATION", "MISSING"); });
    step([&] { mv.XslFileName = ini("XML", "xslFileName", "DEZozevo.xsl"); });
    step([&] { mv.SchemaFileName = ini("XML", "schemaFileName", "SaveResult.xsd"); });
    step([&] { convertWhole(ini("LOG", "LEVEL", "1"), mv.LogLevel); });
    step([&] { mv.TargetURN = ini("XML", "TargetURN", "urn:SaveResult-schema"); });
    step([&] { mv.ResendOnNetErr = text::toUpper(ini("ERROR", "ResendOnNetErr", "no")); });
    step([&] { mv.ResendFolder = ini("ERROR", "ResendFolder", ""); });
    step([&] { mv.ResendOnGen20 = text::toUpper(ini("ERROR", "ResendOnGen20", "no")) == "YES"; });
    step([&] { convertWhole(ini("DATABASE", "TimeOut", "60"), mv.CommandTimeout); });
    step([&] { mv.SaveAsTempSN = ini("SERIALNUMBER", "SaveAsTempSN", "None"); });
    step([&] { mv.SPToGetUnitInfo = ini("CUSTOMIZATION", "SPToGetUnitInfo", "objTSKGetUnitInfo"); });
    step([&] { mv.SPToSaveTestResult = ini("CUSTOMIZATION", "SPToSaveTestResult", "objTSKSaveTestResult"); });
    if (mv.SPToGetUnitInfo.empty()) mv.SPToGetUnitInfo = "objTSKGetUnitInfo";
    step([&] { mv.SPToGetProductStructure = ini("CUSTOMIZATION", "SPToGetProductStructure ", ""); });
    if (mv.SPToGetProductStructure.empty()) mv.SPToGetProductStructure = "zeradurGetProductStructure";
    if (mv.SPToSaveTestResult.empty()) mv.SPToSaveTestResult = "objTSKSaveTestResult";
    mv.ConnectString = "";

    // Without its INI file the component runs on defaults that reach no
    // database; the log names the file it looked for.
    if (::access(IniFileName.c_str(), R_OK) != 0)
        log("Cannot read the INI file " + IniFileName + ": " + std::strerror(errno) + "; defaults used", 1);

    startupFailure_.clear();
    GetTWVer();
    const int16_t status = GetSlaveConn(mv.StationName);
    startupStatus_ = status;

    if (status > 0) {
        log("CLASS INIT FAILED. GetSlaveConn RetCode=" + std::to_string(status), 1);
        return;
    }

    // File names are always taken relative to the component folder.
    auto path = [&](const std::string& name) { return folder + "/" + name; };
    step([&] {
        mv.ResultDocument = std::make_shared<xml::Document>();
        mv.ResultDocument->setAsync(false);
    });
    if (text::toUpper(mv.SchemaFileName) != "NONE") {
        step([&] {
            mv.ResultSchemaCache = std::make_shared<xml::SchemaCache>();
            mv.ResultSchemaCache->add(mv.TargetURN, path(mv.SchemaFileName));
        });
        step([&] { mv.ResultDocument->setSchemas(mv.ResultSchemaCache); });
    }
    step([&] {
        mv.ResultStyleSheet = std::make_shared<xml::Document>();
        mv.ResultStyleSheet->setAsync(false);
        mv.ResultStyleSheet->load(path(mv.XslFileName));
    });
    step([&] {
        mv.HeaderStyleSheet = std::make_shared<xml::Document>();
        mv.HeaderStyleSheet->setAsync(false);
        mv.HeaderStyleSheet->load(path("GetHeader.xsl"));
    });
    step([&] {
        mv.UnitRequestDocument = std::make_shared<xml::Document>();
        mv.UnitRequestDocument->setResolveExternals(true);
        mv.UnitRequestDocument->setExternalsFolder(folder);  // the site's own DTDs, nothing else
    });
    step([&] {
        mv.ValidatedRequestDocument = std::make_shared<xml::Document>();
        mv.UnitInfoStyleSheet = std::make_shared<xml::Document>();
        mv.UnitInfoSchemaCache = std::make_shared<xml::SchemaCache>();
    });
    step([&] { mv.UnitInfoSchemaCache->add("urn:GetUnitInfo-schema", path("GetUnitInfo.xsd")); });
    step([&] { mv.ValidatedRequestDocument->setSchemas(mv.UnitInfoSchemaCache); });
    step([&] {
        mv.UnitInfoXslFound = false;
        std::string xsl = path("GetUnitInfo.xsl");
        mv.UnitInfoXslFound = FileExists(xsl);
    });
    step([&] {
        if (mv.UnitInfoXslFound)
            mv.UnitInfoStyleSheet->load(path("GetUnitInfo.xsl"));
        else
            mv.UnitInfoStyleSheet->loadXML(kBuiltInUnitInfoStyleSheet);
    });
    log("CLASS INIT OK", 1);
}

void Tester::healStartup() {
    const int16_t generation = modVariables().ServerGeneration;
    if (generation == 10 || generation == 20) return;
    log("No server generation was detected at start-up: starting up again", 2);
    Class_Initialize();
}

void Tester::Class_Terminate() {
    // The thread's shared documents go with its last Tester, not while
    // other Testers on the thread still use them.
    ModVariables& mv = modVariables();
    if (--mv.liveTesters > 0) return;
    mv.ResultSchemaCache.reset();
    mv.ResultStyleSheet.reset();
    mv.ResultDocument.reset();
    mv.UnitRequestDocument.reset();
}

// ---- dispatch ------------------------------------------------------------

int32_t Tester::CheckRoute(std::string strUnitSN, std::string strStation) {
    healStartup();
    if (modVariables().ServerGeneration == 10) return CheckRoute10(strUnitSN, strStation);
    return noWorker();
}

int32_t Tester::GetUnitInfo(std::string strRequest, std::string& strUnitInfo, std::string strStationName,
                            std::string strUserID) {
    healStartup();
    if (!strStationName.empty()) {
        const int16_t status = GetSlaveConn(strStationName);
        if (status > 0) return status;
    }
    switch (modVariables().ServerGeneration) {
        case 10: return GetUnitInfo10(strRequest, strUnitInfo, strStationName);
        case 20: return GetUnitInfo20(strRequest, strUnitInfo, strStationName, strUserID);
        default: return 100;
    }
}

int32_t Tester::GetCalibrationInfo(std::string& strCalibrationInfo, std::string strStationName,
                                   std::string strFixture) {
    healStartup();
    if (modVariables().ServerGeneration == 10)
        return GetCalibrationInfo10(strCalibrationInfo, strStationName, strFixture);
    return noWorker();
}

int32_t Tester::SaveCalibration(std::string strCalibration) {
    healStartup();
    if (modVariables().ServerGeneration == 10) return SaveCalibration10(strCalibration);
    return noWorker();
}

int32_t Tester::GetOrderInfo(std::string& strWorkOrderInfo, std::string strStationName) {
    healStartup();
    return GetOrderInfo10_20(strWorkOrderInfo, strStationName);
}

int32_t Tester::GetOrderInfoByStation(std::string& strWorkOrderInfo, std::string strStationName) {
    healStartup();
    return GetOrderInfoByStation10_20(strWorkOrderInfo, strStationName);
}

int32_t Tester::GetModelAttributes(std::string& strModelInfo, std::string strPartNumber, std::string strPartRev) {
    healStartup();
    return GetModelAttributes10_20(strModelInfo, strPartNumber, strPartRev);
}

int32_t Tester::GetUnitAttributes(std::string strRequest, std::string& strUnitInfo, std::string strStationName) {
    healStartup();
    if (modVariables().ServerGeneration == 10) return GetUnitAttributes10(strRequest, strUnitInfo, strStationName);
    return noWorker();
}

std::string Tester::GetErrMessage(int32_t nErrCode) {
    healStartup();
    const ModVariables& mv = modVariables();
    if (mv.ServerGeneration == 20 && mv.ServerRevision >= 3) return GetErrMessage20(nErrCode);
    return "";
}

int32_t Tester::SaveResult(const com::Variant& strXMLResultText) {
    healStartup();
    lastTestId_.reset();
    switch (modVariables().ServerGeneration) {
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
    return modVariables().StationName;
}

}  // namespace dz
