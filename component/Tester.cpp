// Tester: start-up, release, and each public method handed to the service of
// its capability on the detected generation.
#include "component/Tester.h"

#include "component/Failures.h"
#include "component/Files.h"
#include "platform/profile/profile.h"

namespace dz {

Tester::Tester()
    : context_(threadContext()),
      log_(context_),
      startUp_(context_, log_),
      route_(context_, log_),
      results_(context_, log_),
      unitInfo_(context_, log_, results_),
      orders_(context_, log_),
      attributes_(context_, log_),
      auxiliary_(context_, log_),
      iniFile_(componentFolder() + "/DEZozevo.ini"),
      owner_(std::this_thread::get_id()) {
    ++context_.liveTesters;
    startupStatus_ = startUp_.run(iniFile_);
    endCall(startupStatus_);
}

Tester::~Tester() {
    // Released on a foreign thread: that thread's context is not ours to
    // touch, so the owner thread keeps its documents until it ends.
    if (std::this_thread::get_id() != owner_) return;
    // The thread's shared documents go with its last Tester, not while
    // other Testers on the thread still use them.
    if (--context_.liveTesters > 0) return;
    Documents& d = context_.documents;
    d.resultSchemas.reset();
    d.resultStyleSheet.reset();
    d.result.reset();
    d.unitRequest.reset();
}

void Tester::checkThread() const {
    if (std::this_thread::get_id() != owner_)
        throw com::Error("The application called an interface that was marshalled for a different thread.");
}

void Tester::startUpAgainIfDown() {
    const int16_t generation = context_.profile.generation;
    if (generation == 10 || generation == 20) return;
    log_("No server generation was detected at start-up: starting up again", 2);
    startupStatus_ = startUp_.run(iniFile_);
}

// 0 on generation 20, whose unit query checks the route itself, but 100 when
// no generation was detected: a component that never reached its database
// gives no go-ahead and stores nothing.
int32_t Tester::generation10Only() const { return context_.profile.generation == 20 ? 0 : 100; }

int32_t Tester::CheckRoute(std::string strUnitSN, std::string strStation) {
    startUpAgainIfDown();
    if (context_.profile.generation == 10) return route_.check(strUnitSN, strStation);
    return generation10Only();
}

int32_t Tester::GetUnitInfo(std::string strRequest, std::string& strUnitInfo, std::string strStationName,
                            std::string strUserID) {
    startUpAgainIfDown();
    if (!strStationName.empty()) {
        const int16_t status = startUp_.resolveConnection(strStationName);
        if (status > 0) return status;
    }
    switch (context_.profile.generation) {
        case 10: return unitInfo_.get10(strRequest, strUnitInfo, strStationName);
        case 20: return unitInfo_.get20(strRequest, strUnitInfo, strStationName, strUserID);
        default: return 100;
    }
}

int32_t Tester::GetCalibrationInfo(std::string& strCalibrationInfo, std::string strStationName,
                                   std::string strFixture) {
    startUpAgainIfDown();
    if (context_.profile.generation == 10)
        return attributes_.calibrationInfo(strCalibrationInfo, strStationName, strFixture);
    return generation10Only();
}

int32_t Tester::SaveCalibration(std::string strCalibration) {
    startUpAgainIfDown();
    if (context_.profile.generation == 10) return attributes_.saveCalibration(strCalibration);
    return generation10Only();
}

int32_t Tester::GetOrderInfo(std::string& strWorkOrderInfo, std::string strStationName) {
    startUpAgainIfDown();
    return orders_.info(strWorkOrderInfo, strStationName);
}

int32_t Tester::GetOrderInfoByStation(std::string& strWorkOrderInfo, std::string strStationName) {
    startUpAgainIfDown();
    return orders_.byStation(strWorkOrderInfo, strStationName);
}

int32_t Tester::GetModelAttributes(std::string& strModelInfo, std::string strPartNumber, std::string strPartRev) {
    startUpAgainIfDown();
    return orders_.modelAttributes(strModelInfo, strPartNumber, strPartRev);
}

int32_t Tester::GetUnitAttributes(std::string strRequest, std::string& strUnitInfo, std::string strStationName) {
    startUpAgainIfDown();
    if (context_.profile.generation == 10) return attributes_.unitAttributes(strRequest, strUnitInfo, strStationName);
    return generation10Only();
}

std::string Tester::GetErrMessage(int32_t nErrCode) {
    startUpAgainIfDown();
    return auxiliary_.errMessage(nErrCode);
}

int32_t Tester::SaveResult(const com::Variant& strXMLResultText) {
    startUpAgainIfDown();
    results_.forgetTestId();
    switch (context_.profile.generation) {
        case 10: return results_.save10(strXMLResultText);
        case 20: return results_.save20(strXMLResultText);
        default: return results_.keepWhileDown(strXMLResultText, startUp_.failure());
    }
}

int32_t Tester::Resend() {
    startUpAgainIfDown();
    const int16_t generation = context_.profile.generation;
    if (generation != 10 && generation != 20) {
        const int32_t netClass = statusOfText(startUp_.failure());
        return netClass == 9999 ? 100 : netClass;
    }
    return results_.resendKept(true);
}

std::string Tester::GetLastError() { return "OK"; }

std::string Tester::GetProfileItem(std::string strSectionName, std::string strKeyName, std::string strDefaultValue,
                                   std::string strIniFile) {
    return profile::getString(strSectionName, strKeyName, strDefaultValue, strIniFile);
}

std::string Tester::getStation() { return context_.settings.station; }

bool Tester::FileExists(std::string& Fname) { return fileExists(Fname); }

void Tester::putLog(std::string& strMsg, uint8_t& nLevel) { log_(strMsg, nLevel); }

int32_t Tester::CalcErrCode(std::string& strMsg) { return statusOfText(strMsg); }

int32_t Tester::GetProductStructure(std::string xmlPart, std::string& xmlProductStructure,
                                    std::string& ErrorDescription) {
    startUpAgainIfDown();
    return auxiliary_.productStructure(xmlPart, xmlProductStructure, ErrorDescription);
}

int32_t Tester::GetGenericFunction(std::string xmlIn, std::string& xmlOut, std::string& ErrorDescription,
                                   std::string FunctionName) {
    startUpAgainIfDown();
    return auxiliary_.genericFunction(xmlIn, xmlOut, ErrorDescription, FunctionName, iniFile_);
}

}  // namespace dz
