// dezozevo/dezozevo.hpp - the C++ interface of libDEZozevo.so (C++17 and later).
//
// dezozevo::Tester has the component's eighteen methods with their names and
// argument order; by-reference arguments are references the method may change.
// Business methods return a status: 0 done, anything else a failure or a
// refusal (the README lists every status). Nothing here throws for a database
// or document problem: only GetErrMessage and FileExists fail towards their
// caller, and any method called from a thread other than the creating one,
// with dezozevo::Error.
//
//     dezozevo::Tester t;                       // reads DEZozevo.ini, finds the server
//     std::string info;
//     if (t.CheckRoute("SN0001", "FCT-01") == 0 && t.GetUnitInfo(request, info) == 0) {
//         ... test the unit ...
//         int32_t rc = t.SaveResult(resultXml);
//         if (rc != 0) std::cerr << t.state().lastFailure->description << "\n";
//     }
//
// Threads: a Tester is used and destroyed on the thread that created it;
// Testers of one thread share that thread's settings.
#ifndef DEZOZEVO_HPP
#define DEZOZEVO_HPP

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(__GNUC__) || defined(__clang__)
#define DZ_CXX_API __attribute__((visibility("default")))
#else
#define DZ_CXX_API
#endif

namespace dezozevo {

// A failure that reaches the caller, with its description.
class DZ_CXX_API Error : public std::runtime_error {
public:
    explicit Error(const std::string& description);
    ~Error() override;
};

// A non-zero status a method returned, with the failure lines it logged
// (one per line of text; empty when it logged none).
struct Failure {
    int32_t status = 0;
    std::string description;
    // The database client's own records behind it: SQLSTATE, native error
    // number and message (the cause of a 9001: no server, refused, login).
    struct Diagnostic {
        std::string sqlstate;
        long native = 0;
        std::string message;
    };
    std::vector<Diagnostic> diagnostics;
};

// The component's own state (dz_state in the C interface gives the same fields and
// "schema", the generation plus the revision).
struct State {
    int32_t startupStatus = 0;  // 0: start-up resolved the station's connection; else 10, 20, 30 or 100
    int generation = 0;         // 10, 20, or 0 when none was detected
    int revision = 0;           // the schema's last digit (22 -> 2)
    std::string server;         // Data Source of the connection in use
    std::string database;       // its Initial Catalog
    std::string station;        // the INI station
    std::string folder;         // the component folder
    std::string iniFile;        // DEZozevo.ini in that folder
    bool iniFound = false;
    std::optional<Failure> lastFailure;  // the last non-zero status of a business method or of start-up
    std::optional<int32_t> testId;       // the ID the database gave the result the last SaveResult stored
    struct Queue {
        std::string path;                      // the resend queue's file
        uint64_t kept = 0;                     // results kept for resend
        std::optional<int64_t> oldestSeconds;  // age of the oldest, in seconds
        uint64_t rejected = 0;                 // set aside after the database refused them
    } queue;
};

class DZ_CXX_API Tester {
public:
    // Reads DEZozevo.ini from the component folder ($DEZOZEVO_HOME, else the
    // library's folder), detects the server and resolves the station's
    // connection. Never fails for a database problem: see state().startupStatus.
    Tester();
    ~Tester();
    Tester(Tester&&) noexcept;
    Tester& operator=(Tester&&) noexcept;
    Tester(const Tester&) = delete;
    Tester& operator=(const Tester&) = delete;

    int32_t CheckRoute(const std::string& strUnitSN, const std::string& strStation);
    int32_t GetUnitInfo(const std::string& strRequest, std::string& strUnitInfo,
                        const std::string& strStationName = "", const std::string& strUserID = "");
    int32_t GetCalibrationInfo(std::string& strCalibrationInfo, const std::string& strStationName = "",
                               const std::string& strFixture = "");
    int32_t SaveCalibration(const std::string& strCalibration);
    int32_t GetOrderInfo(std::string& strWorkOrderInfo, const std::string& strStationName = "");
    int32_t GetOrderInfoByStation(std::string& strWorkOrderInfo, const std::string& strStationName = "");
    int32_t GetModelAttributes(std::string& strModelInfo, const std::string& strPartNumber,
                               const std::string& strPartRev);
    int32_t GetUnitAttributes(const std::string& strRequest, std::string& strUnitInfo,
                              const std::string& strStationName = "");
    std::string GetErrMessage(int32_t nErrCode);  // throws Error when the database fails
    int32_t SaveResult(const std::string& strXMLResultText);
    std::string GetLastError();
    std::string GetProfileItem(const std::string& strSectionName, const std::string& strKeyName,
                               const std::string& strDefaultValue, const std::string& strIniFile);
    std::string getStation();
    bool FileExists(std::string& Fname);  // throws Error when the folder cannot be listed
    void putLog(std::string& strMsg, uint8_t& nLevel);
    int32_t CalcErrCode(std::string& strMsg);
    int32_t GetProductStructure(const std::string& xmlPart, std::string& xmlProductStructure,
                                std::string& ErrorDescription);
    int32_t GetGenericFunction(const std::string& xmlIn, std::string& xmlOut, std::string& ErrorDescription,
                               const std::string& FunctionName = "");

    // The component's own state beside the eighteen methods.
    State state() const;
    // Sends the kept results now, waiting for another process's replay to
    // end: the status the unit query's resend step gives (0 when all went).
    int32_t resend();

    // Whether the unit may be tested at strStation (empty: the INI station)
    // now, on every generation: 0 with the unit document in strUnitInfo, else
    // the refusal's status (its reason in state().lastFailure). Generation 10
    // asks the database (CheckRoute), then GetUnitInfo; 20 and later run
    // GetUnitInfo and read the unit's status and next station from its
    // document with UnitCheck.xsl from the component folder, else the
    // built-in check of the sample site's document (3 due at another
    // station, 4 on hold, 5 scrapped, 6 route completed).
    int32_t mayTest(const std::string& strUnitSN, const std::string& strStation, std::string& strUnitInfo);

    struct Impl;  // the library's own, opaque here

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace dezozevo

#endif  // DEZOZEVO_HPP
