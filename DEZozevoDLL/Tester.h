// Tester: the component's one public class. Creating one reads DEZozevo.ini,
// detects the server generation, resolves the working connection and loads
// the XML objects of the calling thread; each business method then hands the
// call to the worker that serves the detected generation and returns its
// status (0 means done).
//
// A Tester is bound to the thread that created it: a call from another thread
// throws com::Error and does nothing.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <thread>

#include "platform/com/module.h"
#include "platform/com/variant.h"

namespace dz {

class Tester {
public:
    Tester();   // Class_Initialize; never fails
    ~Tester();  // Class_Terminate
    Tester(const Tester&) = delete;
    Tester& operator=(const Tester&) = delete;

    // The interface, in its order.
    int32_t CheckRoute(std::string strUnitSN, std::string strStation);
    int32_t GetUnitInfo(std::string strRequest, std::string& strUnitInfo, std::string strStationName = "",
                        std::string strUserID = "");
    int32_t GetCalibrationInfo(std::string& strCalibrationInfo, std::string strStationName = "",
                               std::string strFixture = "");
    int32_t SaveCalibration(std::string strCalibration);
    int32_t GetOrderInfo(std::string& strWorkOrderInfo, std::string strStationName = "");
    int32_t GetOrderInfoByStation(std::string& strWorkOrderInfo, std::string strStationName = "");
    int32_t GetModelAttributes(std::string& strModelInfo, std::string strPartNumber, std::string strPartRev);
    int32_t GetUnitAttributes(std::string strRequest, std::string& strUnitInfo, std::string strStationName = "");
    std::string GetErrMessage(int32_t nErrCode);  // throws com::Error when the database fails
    int32_t SaveResult(const com::Variant& strXMLResultText);
    std::string GetLastError();
    std::string GetProfileItem(std::string strSectionName, std::string strKeyName, std::string strDefaultValue,
                               std::string strIniFile);
    std::string getStation();
    bool FileExists(std::string& Fname);  // throws com::Error when the listing fails
    void putLog(std::string& strMsg, uint8_t& nLevel);
    int32_t CalcErrCode(std::string& strMsg);
    int32_t GetProductStructure(std::string xmlPart, std::string& xmlProductStructure,
                                std::string& ErrorDescription);
    int32_t GetGenericFunction(std::string xmlIn, std::string& xmlOut, std::string& ErrorDescription,
                               std::string FunctionName = "");

    const std::string& iniFileName() const { return IniFileName; }

    // Value-argument forms of putLog and CalcErrCode for the component's own use.
    void log(std::string_view msg, uint8_t level);
    // The parts joined into one message, only when the level writes it.
    void log(std::initializer_list<std::string_view> parts, uint8_t level);
    static int32_t calcErr(std::string_view msg);

private:
    void Class_Initialize();
    void Class_Terminate();
    void checkThread() const;

    // Server generation and connection (start-up).
    void GetTWVer();
    int16_t GetSlaveConn(const std::string& station);
    int16_t GetSlaveConn10(const std::string& station);
    int16_t GetSlaveConn20(const std::string& station);

    // Route check.
    int32_t CheckRoute10(const std::string& strUnitSN, const std::string& strStation);

    // Unit data.
    int32_t GetUnitInfo10(std::string strRequest, std::string& strUnitInfo, std::string strStationName);
    int32_t GetUnitInfo20(std::string strRequest, std::string& strUnitInfo, std::string strStationName,
                          std::string strUserID);
    int32_t GetUnitAttributes10(std::string strRequest, std::string& strUnitInfo, std::string strStationName);

    // Result upload, buffering and resend.
    int32_t SaveResult10(const com::Variant& strXMLResultText);
    int32_t SaveResult20(const com::Variant& strXMLResultText);
    bool SaveResultForResend(const std::string& text);
    int32_t ResendLastResult();
    int16_t GetTestResultConfig(const std::string& unitId);
    bool CheckFolderExists(const std::string& folder);
    int16_t CreateFileInFolder(const std::string& folder, const std::string& text, const std::string& unitId,
                               int32_t testId);

    // Work orders and models.
    int32_t GetOrderInfo10_20(std::string& strWorkOrderInfo, std::string strStationName);
    int32_t GetOrderInfoByStation10_20(std::string& strWorkOrderInfo, std::string strStationName);
    int32_t GetModelAttributes10_20(std::string& strModelInfo, std::string strPartNumber, std::string strPartRev);

    // Calibration.
    int32_t GetCalibrationInfo10(std::string& strCalibrationInfo, std::string strStationName,
                                 std::string strFixture);
    int32_t SaveCalibration10(std::string strCalibration);

    // Messages.
    std::string GetErrMessage20(int32_t nErrCode);

public:
    // Pure text routines, public for the component's own files and for tests.
    static std::string EscapeXml(std::string_view text);
    static std::string UnscramblePassword(std::string_view text);

private:
    std::string IniFileName;
    std::thread::id owner_;
};

}  // namespace dz
