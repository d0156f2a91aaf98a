// The measuring half of `./dz bench` (bench/run.py drives it). Each mode runs
// in its own process so that its peak memory is its own, and prints one JSON
// line. Calls go through the C interface, as a station's program makes them.
//
//   dzbench save GEN DOC REPS whole|canned   SaveResult of the document DOC
//   dzbench store GEN PAYLOAD REPS           the save procedure alone, called
//                                            with a ready payload (the peer's
//                                            share of the database's work)
//   dzbench unitinfo ROWS REPS               GetUnitInfo on generation 24 and
//                                            a bare fetch of the same rows
//   dzbench checkroute CALLS                 client CPU of CheckRoute over
//                                            ODBC and of a bare ODBC call
//   dzbench create REPS                      creating a Tester
#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "component/Tester.h"
#include "binding/drivers.h"
#include "bench/component.h"
#include "dezozevo.h"
#include "platform/db/db.h"
#include "platform/db/drivers/odbc/odbc.h"
#include "platform/text.h"
#include "sim/sim.h"
#include "sim/tds/server.h"

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace dz;

namespace {

// The process's CPU time: on a shared machine it varies far less than the
// wall clock. Everything measured runs on the calling thread.
double now() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double threadCpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

long peakKb() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

long minorFaults() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_minflt + ru.ru_majflt;
}

// A component folder with the sample site's files and a simulator plant.
struct Home {
    fs::path dir;
    std::string db;

    Home(int generation, const std::string& server = "sim:plant.db") {
        char tmpl[] = "/tmp/dzbench-XXXXXX";
        if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
        dir = tmpl;
        db = (dir / "plant.db").string();
        sim::InitOptions o;
        o.generation = generation;
        o.sample = true;
        sim::create(db, o);
        dzbench::layOutComponent(dir, server);
        setenv("DEZOZEVO_HOME", dir.c_str(), 1);
        setenv("DEZOZEVO_RESEND_FILE", (dir / "resend.xml").c_str(), 1);
    }
    ~Home() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

struct TesterHandle {
    dz_tester* t = nullptr;
    TesterHandle() {
        if (dz_tester_create(&t) != DZ_OK) throw std::runtime_error(dz_last_error());
    }
    ~TesterHandle() { dz_tester_release(t); }
    json invoke(const char* method, const std::string& args) {
        char* out = nullptr;
        if (dz_invoke(t, method, args.c_str(), &out) != DZ_OK) throw std::runtime_error(dz_last_error());
        json j = json::parse(out);
        dz_free(out);
        return j;
    }
};

int save(int argc, char** argv) {
    if (argc < 6) throw std::runtime_error("usage: dzbench save GEN DOC REPS whole|canned");
    const int gen = std::atoi(argv[2]);
    const int reps = std::atoi(argv[4]);
    const bool canned = std::string(argv[5]) == "canned";
    Home home(gen);
    if (canned) {
        const char* proc = gen == 10 ? "uspTestSaveResult" : "objTSKSaveTestResult";
        sim::loadAnswers(home.db, json{{"procedures", {{proc, {{"return", 0}, {"outputs", {{"@TestID", 1}}}}}}}}.dump());
    }
    TesterHandle t;
    // The station holds its document once: as the call's arguments.
    std::string args = json{{"strXMLResultText", dzbench::readFile(argv[3])}}.dump();
    args.shrink_to_fit();
    std::vector<double> times;
    for (int i = 0; i < reps; ++i) {
        const double t0 = now();
        char* out = nullptr;
        if (dz_invoke(t.t, "SaveResult", args.c_str(), &out) != DZ_OK) throw std::runtime_error(dz_last_error());
        times.push_back(now() - t0);
        // The status is near the front of the answer.
        std::string head(out, strnlen(out, 200));
        dz_free(out);
        if (head.find("\"result\":0,") == std::string::npos)
            throw std::runtime_error("SaveResult did not answer 0: " + head);
    }
    std::cout << json{{"median_s", median(times)}, {"peak_kb", peakKb()}}.dump() << "\n";
    return 0;
}

int store(int argc, char** argv) {
    if (argc < 5) throw std::runtime_error("usage: dzbench store GEN PAYLOAD REPS");
    const int gen = std::atoi(argv[2]);
    const std::string payload = dzbench::readFile(argv[3]);
    const int reps = std::atoi(argv[4]);
    Home home(gen);
    std::vector<double> times;
    for (int i = 0; i < reps; ++i) {
        db::Command c;
        c.activeConnection = dzbench::connectString("sim:" + home.db);
        c.type = db::adCmdStoredProc;
        const double t0 = now();
        if (gen == 10) {
            c.text = "uspTestSaveResult";
            c.append("return", db::adInteger, db::adParamReturnValue, 0, 0);
            c.append("@strXML", db::adLongVarChar, db::adParamInput, payload);
            c.append("@TestID", db::adDouble, db::adParamOutput, {}, 0);
        } else {
            c.text = "objTSKSaveTestResult";
            c.append("RETURN", db::adInteger, db::adParamReturnValue, 0, 0);
            c.append("@strXmlTestResult", db::adLongVarChar, db::adParamInput, payload);
            c.append("@EnterTime", db::adVarChar, db::adParamInput, "2026-03-07 14:05:09");
            c.append("@ExitTime", db::adVarChar, db::adParamInput, "2026-03-07 14:05:09");
        }
        c.execute();
        times.push_back(now() - t0);
        if (c.parameters()[0].value.toInt32() != 0)
            throw std::runtime_error("the save procedure answered " + c.parameters()[0].value.toText());
    }
    std::cout << json{{"median_s", median(times)}, {"peak_kb", peakKb()}}.dump() << "\n";
    return 0;
}

// `rows` unit-data items of the sample unit: one in ten outside any group,
// the rest in fifty groups.
void plantUnitData(const std::string& path, const std::string& serial, int rows) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) throw std::runtime_error("cannot open " + path);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO unit_data(serial, group_name, name, value) VALUES(?, ?, ?, ?)", -1, &st,
                       nullptr);
    for (int i = 0; i < rows; ++i) {
        std::string g = "Group" + std::to_string(i % 50), n = "Item" + std::to_string(i),
                    v = "Value of item " + std::to_string(i);
        sqlite3_bind_text(st, 1, serial.c_str(), -1, SQLITE_TRANSIENT);
        if (i % 10 == 0)
            sqlite3_bind_null(st, 2);
        else
            sqlite3_bind_text(st, 2, g.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 3, n.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 4, v.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

int unitinfo(int argc, char** argv) {
    if (argc < 4) throw std::runtime_error("usage: dzbench unitinfo ROWS REPS");
    const int rows = std::atoi(argv[2]);
    const int reps = std::atoi(argv[3]);
    const std::string serial = "SN24001-0004";
    Home home(24);
    plantUnitData(home.db, serial, rows);

    // The bare fetch: the same procedure through the same driver, every
    // field of every row read as text.
    const std::string cs = dzbench::connectString("sim:" + home.db);
    auto bare = [&] {
        db::Command c;
        c.activeConnection = cs;
        c.type = db::adCmdStoredProc;
        c.text = "objTSKGetUnitInfo";
        c.append("RETURN", db::adInteger, db::adParamReturnValue, 0, 0);
        c.append("@xmlSerialNumber", db::adVarChar, db::adParamInput,
                 "<SerialNumber><S Descr=\"ANY\">" + serial + "</S></SerialNumber>");
        c.append("@xmlStation", db::adVarChar, db::adParamInput, "<StationInfo Description=\"FCT-01\"/>");
        c.append("@UserID", db::adVarChar, db::adParamInput, db::Value(), 10);
        c.append("@EnterTime", db::adDBTimeStamp, db::adParamInput, "2026-03-07 14:05:09");
        c.append("@ExitTime", db::adDBTimeStamp, db::adParamInput, "2026-03-07 14:05:09");
        db::Recordset rs = c.execute();
        size_t n = 0, bytes = 0;
        for (; !rs.eof(); rs.moveNext(), ++n)
            for (size_t f = 0; f < rs.fieldCount(); ++f)
                if (!rs.field(f).isNull()) bytes += rs.field(f).toText().size();
        if (n < size_t(rows)) throw std::runtime_error("the bare fetch returned too few rows");
        return bytes;
    };

    TesterHandle t;
    const std::string args =
        json{{"strRequest", "<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\" SerialNumber=\"" + serial + "\"/>"},
             {"strUnitInfo", ""}}
            .dump();
    std::vector<double> comp, fetch, faults;
    // One unmeasured round first: the first call loads schemas and style
    // sheets and grows the heap.
    for (int i = -1; i < reps; ++i) {
        double t0 = now();
        bare();
        const double fetched = now() - t0;
        const long f0 = minorFaults();
        t0 = now();
        char* out = nullptr;
        if (dz_invoke(t.t, "GetUnitInfo", args.c_str(), &out) != DZ_OK) throw std::runtime_error(dz_last_error());
        const double took = now() - t0;
        const long f = minorFaults() - f0;
        std::string head(out, strnlen(out, 200));
        dz_free(out);
        if (head.find("\"result\":0,") == std::string::npos)
            throw std::runtime_error("GetUnitInfo did not answer 0: " + head);
        if (i < 0) continue;
        fetch.push_back(fetched);
        comp.push_back(took);
        faults.push_back(double(f));
    }
    std::cout << json{{"median_s", median(comp)}, {"bare_s", median(fetch)}, {"faults", long(median(faults))},
                      {"peak_kb", peakKb()}}
                     .dump()
              << "\n";
    return 0;
}

int checkroute(int argc, char** argv) {
    if (argc < 3) throw std::runtime_error("usage: dzbench checkroute CALLS");
    const int calls = std::atoi(argv[2]);
    // The listener serves the plant; the INI file names it.
    auto home = std::make_unique<Home>(10);
    std::unique_ptr<sim::tds::Server> server = dzbench::listen(home->db);
    const std::string dataSource = dzbench::dataSource(*server);
    dzbench::writeIni(home->dir, dataSource);

    TesterHandle t;
    const std::string args = R"({"strUnitSN":"SN24001-0006","strStation":"FCT-01"})";
    if (t.invoke("CheckRoute", args)["result"] != 3) throw std::runtime_error("CheckRoute does not answer 3");

    // The bare call: one connection, the wide-character API, a statement per call.
    SQLHENV env;
    SQLHDBC dbc;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, (SQLPOINTER)SQL_OV_ODBC3, 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    const std::string cs = dzbench::connectString(dataSource);
    std::u16string conn = text::toUtf16(db::odbc::target(db::ConnectionInfo::parse(cs)).connectionString);
    if (!SQL_SUCCEEDED(SQLDriverConnectW(dbc, nullptr, (SQLWCHAR*)conn.c_str(), SQL_NTS, nullptr, 0, nullptr,
                                         SQL_DRIVER_NOPROMPT)))
        throw std::runtime_error("the bare ODBC connection failed");
    std::u16string call = u"{? = call uspCheckRouting(?,?)}";
    std::u16string product = u"SN24001-0006", station = u"FCT-01";
    auto bareCall = [&] {
        SQLHSTMT st;
        SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
        SQLINTEGER ret = 0;
        SQLLEN retInd = 0, pInd = SQLLEN(product.size() * 2), sInd = SQLLEN(station.size() * 2);
        SQLBindParameter(st, 1, SQL_PARAM_OUTPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &ret, 0, &retInd);
        SQLBindParameter(st, 2, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, product.size(), 0, product.data(), 0,
                         &pInd);
        SQLBindParameter(st, 3, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, station.size(), 0, station.data(), 0,
                         &sInd);
        SQLExecDirectW(st, (SQLWCHAR*)call.c_str(), SQL_NTS);
        while (SQLMoreResults(st) == SQL_SUCCESS) {
        }
        SQLFreeHandle(SQL_HANDLE_STMT, st);
        if (ret != 3) throw std::runtime_error("the bare call did not answer 3");
    };
    bareCall();

    // Many short interleaved rounds, each of the three ways first in turn,
    // after a warm-up; the medians of the rounds are reported. The calling
    // thread's CPU only (the listener runs on threads of its own).
    // The same method called directly in C++, without the C interface's JSON.
    Tester direct;
    auto cppCall = [&] {
        if (direct.CheckRoute("SN24001-0006", "FCT-01") != 3) throw std::runtime_error("CheckRoute does not answer 3");
    };
    auto cCall = [&] {
        char* out = nullptr;
        if (dz_invoke(t.t, "CheckRoute", args.c_str(), &out) != DZ_OK) throw std::runtime_error(dz_last_error());
        dz_free(out);
    };
    // The typed C function: no JSON.
    auto typedCall = [&] {
        int32_t status = -1;
        if (dz_CheckRoute(t.t, "SN24001-0006", "FCT-01", &status) != DZ_OK || status != 3)
            throw std::runtime_error("dz_CheckRoute does not answer 3");
    };
    const std::function<void()> ways[4] = {cppCall, cCall, bareCall, typedCall};
    std::vector<double> results[4];
    const int rounds = 21, perRound = std::max(1, calls / rounds);
    for (int i = 0; i < 50; ++i)
        for (const auto& way : ways) way();
    for (int r = 0; r < rounds; ++r)
        for (int k = 0; k < 4; ++k) {
            const int w = (r + k) % 4;
            const double c0 = threadCpu();
            for (int i = 0; i < perRound; ++i) ways[w]();
            results[w].push_back((threadCpu() - c0) / perRound);
        }
    std::vector<double>&cpp = results[0], &comp = results[1], &bare = results[2], &typed = results[3];
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    server->stop();
    std::cout << json{{"cpu_s", median(comp)}, {"cpp_cpu_s", median(cpp)}, {"typed_cpu_s", median(typed)},
                      {"bare_cpu_s", median(bare)}}
                     .dump()
              << "\n";
    return 0;
}

// Times creations with unchanged and with touched files, and counts how often one
// creation opens the INI file (inotify reports every open; the closes in
// between keep it from folding repeated opens into one).
int create(int argc, char** argv) {
    const int reps = argc > 2 ? std::atoi(argv[2]) : 20;
    Home home(24);
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0 || inotify_add_watch(fd, (home.dir / "DEZozevo.ini").c_str(), IN_OPEN | IN_CLOSE_NOWRITE) < 0)
        throw std::runtime_error("inotify is not available");
    auto opens = [&] {
        int n = 0;
        alignas(inotify_event) char buf[4096];
        ssize_t got;
        while ((got = read(fd, buf, sizeof buf)) > 0)
            for (char* p = buf; p < buf + got; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
                n += (reinterpret_cast<inotify_event*>(p)->mask & IN_OPEN) != 0;
        return n;
    };
    // Creations with the deployment files as they are, and after each file
    // got a new time (its schema must then be compiled again).
    std::vector<double> same, touched;
    int reads = 0;
    for (int i = 0; i < reps; ++i) {
        for (bool touch : {false, true}) {
            if (touch)
                for (const char* f : {"DEZozevo.xsl", "GetHeader.xsl", "SaveResult.xsd", "GetUnitInfo.xsd"})
                    fs::last_write_time(home.dir / f, fs::file_time_type::clock::now() + std::chrono::seconds(i + 1));
            opens();
            const double t0 = now();
            { TesterHandle t; }
            (touch ? touched : same).push_back(now() - t0);
            reads = opens();
        }
    }
    close(fd);
    std::cout << json{{"median_s", median(same)}, {"touched_s", median(touched)}, {"ini_reads", reads}}.dump() << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    dz::binding::installDrivers();
    try {
        const std::string mode = argc > 1 ? argv[1] : "";
        if (mode == "save") return save(argc, argv);
        if (mode == "store") return store(argc, argv);
        if (mode == "unitinfo") return unitinfo(argc, argv);
        if (mode == "checkroute") return checkroute(argc, argv);
        if (mode == "create") return create(argc, argv);
        std::cerr << "usage: dzbench save|store|unitinfo|checkroute|create ...\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "dzbench: " << e.what() << "\n";
        return 1;
    }
}
