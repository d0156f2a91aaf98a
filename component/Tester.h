// Tester: the component's one public class, a thin front over its services.
// Creating one starts up (StartUp) on the calling thread's context; each
// method then hands the call to the service of its capability on the
// detected generation and returns its status (0 means done).
//
// A Tester is bound to the thread that created it: the interfaces call
// checkThread() before each method (binding/call.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "component/AttributeService.h"
#include "component/AuxiliaryService.h"
#include "component/Context.h"
#include "component/Log.h"
#include "component/OrderService.h"
#include "component/ResultService.h"
#include "component/RouteService.h"
#include "component/StartUp.h"
#include "component/UnitInfoService.h"
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
    int32_t startupStatus = 0;  // start-up's code; 0 when it resolved the connection
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
    Tester();  // starts up; never fails
    ~Tester();
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

    const std::string& iniFileName() const { return iniFile_; }

    // The component's own state. Callers bracket each business method with
    // beginCall/endCall: a non-zero status becomes lastFailure, described by
    // the failure lines (level 1) logged in between.
    TesterState state() const;
    // Sends the kept results now (waiting for another process's replay to
    // end): the status the unit query's resend gives.
    int32_t Resend();
    void beginCall();
    int32_t endCall(int32_t status);
    // Throws com::Error when called from a thread other than the creating one.
    void checkThread() const;

private:
    // Starts up again when the last start-up detected no server generation.
    void startUpAgainIfDown();
    // The status of a method whose service runs on generation 10 only.
    int32_t generation10Only() const;

    Context& context_;  // the thread's
    Log log_;
    StartUp startUp_;
    RouteService route_;
    ResultService results_;
    UnitInfoService unitInfo_;
    OrderService orders_;
    AttributeService attributes_;
    AuxiliaryService auxiliary_;

    std::string iniFile_;
    std::thread::id owner_;
    int32_t startupStatus_ = 0;
    std::optional<Failure> lastFailure_;
};

}  // namespace dz
