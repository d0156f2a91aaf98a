// Tester: the component's one public class. Creating one reads DEZozevo.ini,
// detects the server generation, resolves the working connection and loads
// the XML objects of the calling thread; each business method then hands the
// call to the worker that serves the detected generation and returns its
// status (0 means done).
//
// A Tester is bound to the thread that created it: the interfaces call
// checkThread() before each method (binding/call.h).
#pragma once

#include <exception>
#include <cstdint>
#include <optional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "DEZozevoDLL/AttributeService.h"
#include "DEZozevoDLL/AuxiliaryService.h"
#include "DEZozevoDLL/Context.h"
#include "DEZozevoDLL/Log.h"
#include "DEZozevoDLL/OrderService.h"
#include "DEZozevoDLL/RouteService.h"
#include "platform/com/module.h"
#include "platform/com/variant.h"
#include "platform/db/db.h"

namespace dz {

// A non-zero status a method returned, with the failure lines it logged.
struct Failure {
    int32_t status = 0;
    std::string description;
    // The database client's own records of the failures behind it (SQLSTATE,
    // native error, message); empty when none were reported.
    std::vector<db::Diagnostic> diagnostics;
};

// The component's own state beside the interface.
struct TesterState {
    int32_t startupStatus = 0;  // GetSlaveConn's code at start-up; 0 when it resolved the connection
    int16_t generation = 0, revision = 0;
    std::string server, database;  // of the connection in use (the master's when none was resolved)
    std::string station, folder, iniFile;
    bool iniFound = false;
    std::optional<Failure> lastFailure;
    std::optional<int32_t> testId;  // of the result the last SaveResult stored
    struct Queue {
        std::string path;  // the resend queue's file
        uint64_t kept = 0;
        std::optional<int64_t> oldestSeconds;  // age of the oldest kept result
        uint64_t rejected = 0;                 // set aside after the database refused them
    } queue;
};

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

    // The component's own state. Callers bracket each business method with
    // beginCall/endCall: a non-zero status becomes lastFailure, described by
    // the failure lines (level 1) logged in between.
    TesterState state() const;
    // Sends the kept results now (waiting for another process's replay to
    // end): the status ResendLastResult gives.
    int32_t Resend();
    void beginCall();
    int32_t endCall(int32_t status);
    // Throws com::Error when called from a thread other than the creating one.
    void checkThread() const;

    // Value-argument forms of putLog and CalcErrCode for the component's own use.
    void log(std::string_view msg, uint8_t level);
    // The parts joined into one message, only when the line is used (written or kept).
    void log(std::initializer_list<std::string_view> parts, uint8_t level);
    static int32_t calcErr(std::string_view msg);
    // The status of a failure: from the driver's kind when it gives one, else from its text.
    static int32_t calcErr(const std::exception& failure);

private:
    void Class_Initialize();
    void Class_Terminate();

    // Server generation and connection (start-up).
    void GetTWVer();
    int16_t GetSlaveConn(const std::string& station);
    int16_t GetSlaveConn10(const std::string& station);
    int16_t GetSlaveConn20(const std::string& station);

    // Unit data.
    int32_t GetUnitInfo10(std::string strRequest, std::string& strUnitInfo, std::string strStationName);
    int32_t GetUnitInfo20(std::string strRequest, std::string& strUnitInfo, std::string strStationName,
                          std::string strUserID);

    // Result upload, buffering and resend.
    int32_t SaveResult10(const com::Variant& strXMLResultText);
    int32_t SaveResult20(const com::Variant& strXMLResultText);
    bool SaveResultForResend(std::string_view text);
    // Without `wait`, a replay already running in another process is left to do it (0).
    int32_t ResendLastResult(bool wait = false);
    // SaveResult when no database was reached: keeps the result when the
    // start-up failed on the network and the INI file asks for it.
    int32_t keepWhileDown(const com::Variant& strXMLResultText);
    // Runs start-up again when the last one detected no server generation.
    void healStartup();
    // 999 on failure, its description in *failure.
    int16_t GetTestResultConfig(const std::string& unitId, std::string* failure = nullptr);
    bool CheckFolderExists(const std::string& folder);
    // Gives the body staged in the buffer folder its final name.
    int16_t CreateFileInFolder(const std::string& folder, const std::string& staged, const std::string& unitId,
                               int32_t testId);

public:
    // Pure text routines, public for the component's own files and for tests.
    static std::string EscapeXml(std::string_view text);
    static std::string UnscramblePassword(std::string_view text);

private:
    Context& context_;  // the thread's
    Log log_;
    RouteService route_;
    OrderService orders_;
    AttributeService attributes_;
    AuxiliaryService auxiliary_;

    std::string IniFileName;
    std::thread::id owner_;
    // Set while a kept result is sent again: it stays in its own file.
    bool resending_ = false;
    // The last upload's procedure answered (set by the SaveResult workers).
    bool uploadAnswered_ = false;
    // A result was kept while no database was reached: the next unit query sends it.
    bool replayOwed_ = false;
    std::string startupFailure_;  // the generation probe's failure at the last start-up

    int32_t startupStatus_ = 0;
    std::optional<Failure> lastFailure_;
    std::optional<int32_t> lastTestId_;
};

}  // namespace dz
