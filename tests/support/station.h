// Test fixtures: a temporary component folder with its DEZozevo.ini, a
// scripted database behind it, and readers for the day's log.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/scripted.h"

namespace dz {
class Tester;
}

namespace dz::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;  // "" when missing
    bool exists(const std::string& name) const;

private:
    std::string path_;
};

std::string readFile(const std::string& path);  // "" when missing
// A file of the sample deployment, site/; throws when it is missing (a station
// set up without it would fail later, for another reason).
std::string sitePath(const std::string& name);
void writeFile(const std::string& path, const std::string& content);

// A result schema (SaveResult.xsd) for urn:SaveResult-schema: <Result> holding
// <DUT ID STATUS> elements, each with an optional <Note>.
extern const char* const kResultSchema;

// Each parameter of a recorded call as "name type direction size value", the
// value as Null, 'text' or a number: "@Station VarChar In 3 'ST1'".
std::vector<std::string> params(const db::ScriptedDriver::Call& call);
// A recorded call's text, type, timeout and "named" for named parameters:
// "uspX StoredProc 30 named".
std::string command(const db::ScriptedDriver::Call& call);
// The recorded calls whose text contains `text`.
std::vector<db::ScriptedDriver::Call> callsTo(const db::ScriptedDriver& db, const std::string& text);

// A component folder (DEZOZEVO_HOME points at it while the object lives)
// whose INI file names a scripted database "script:<unique>".
class Station {
public:
    // `extraIni` is appended to the INI file (more sections or keys).
    explicit Station(const std::string& extraIni = "", int logLevel = 2);
    ~Station();

    TempDir home;
    std::shared_ptr<db::ScriptedDriver> db;
    std::string server;  // "script:<unique>"

    // Answers the generation probe with n and, unless told otherwise, the
    // slave batch with "no slave" (Error 0, MasterSlaveSolution 0).
    void serveGeneration(int n, bool noSlave = true);
    // Copies files of the sample deployment (site/) into the component folder.
    void installSiteFile(const std::string& name);

    std::string log() const;                   // the day's log file, whole
    std::vector<std::string> messages() const; // its lines without the time stamp
    bool logged(const std::string& message) const;  // a line equal to message
    void clearLog() const;

    std::string masterConnectString() const;

private:
    std::string previousHome_;
    bool hadHome_ = false;
};

// Resets the module state and starts a Tester on the station's component
// folder (no other Tester may be alive); the calls and log lines of its
// start-up are then cleared.
std::unique_ptr<Tester> startTester(const Station& st);

// A component started on a scripted server of generation `generation`
// (Station::serveGeneration): `prepare` runs before the Tester starts.
struct Started {
    using Prepare = std::function<void(Station&)>;
    explicit Started(int generation, const std::string& extraIni = "", const Prepare& prepare = {},
                     int logLevel = 2);
    // Starts afresh; the previous component folder is restored first.
    void restart(int generation, const std::string& extraIni = "", const Prepare& prepare = {}, int logLevel = 2);

    std::unique_ptr<Station> st;
    std::unique_ptr<Tester> t;
    std::string out = "kept";  // for the methods' output text
};

}  // namespace dz::test
