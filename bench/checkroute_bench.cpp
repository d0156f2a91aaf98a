// CheckRoute over the network: the simulator's TDS listener on loopback,
// reached through the SQL Server driver.
//
//   Tester/pooled          the component's CheckRoute, connections reused
//   Command/pooled         one stored-procedure command, connections reused
//   Command/new-connection the same with "OLE DB Services=-2": a login per call
//   BareOdbc               the same procedure with plain ODBC calls on one
//                          open connection: what the driver layer adds is the
//                          difference to Command/pooled
//
// items_per_second is calls per second.
#include <benchmark/benchmark.h>
#include <sql.h>
#include <sqlext.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "component/Tester.h"
#include "binding/drivers.h"
#include "bench/component.h"
#include "platform/db/db.h"
#include "platform/db/drivers/odbc/odbc.h"
#include "sim/sim.h"
#include "sim/tds/server.h"

namespace fs = std::filesystem;
using namespace dz;

namespace {

// A sample plant of generation 10 behind a listener, and a component folder
// whose INI file names it. Made once for all benchmarks.
struct Setup {
    fs::path dir;
    std::unique_ptr<sim::tds::Server> server;
    std::string dataSource;

    Setup() {
        char tmpl[] = "/tmp/dzbench-XXXXXX";
        if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
        dir = tmpl;
        sim::InitOptions o;
        o.generation = 10;
        o.sample = true;
        sim::create((dir / "plant.db").string(), o);
        server = dzbench::listen((dir / "plant.db").string());
        dataSource = dzbench::dataSource(*server);
        dzbench::layOutComponent(dir, dataSource);
        setenv("DEZOZEVO_HOME", dir.c_str(), 1);
    }
    ~Setup() {
        server->stop();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::string connectString(bool pooled) const {
        return dzbench::connectString(dataSource, pooled ? "" : "OLE DB Services=-2;");
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

int32_t routeCommand(const std::string& cs) {
    db::Command c;
    c.activeConnection = cs;
    c.timeout = 30;
    c.text = "uspCheckRouting";
    c.type = db::adCmdStoredProc;
    c.append("@Product", db::adVarChar, db::adParamInput, "SN24001-0006");
    c.append("@Station", db::adVarChar, db::adParamInput, "FCT-01");
    c.execute();
    return c.value("@RETURN_VALUE").toInt32();
}

void TesterPooled(benchmark::State& state) {
    setup();
    dz::binding::installDrivers();
    Tester t;
    if (t.CheckRoute("SN24001-0006", "FCT-01") != 3) {
        state.SkipWithError("CheckRoute does not answer 3; is the listener reachable?");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(t.CheckRoute("SN24001-0006", "FCT-01"));
    state.SetItemsProcessed(state.iterations());
}

void CommandPooled(benchmark::State& state) {
    std::string cs = setup().connectString(true);
    routeCommand(cs);
    for (auto _ : state) benchmark::DoNotOptimize(routeCommand(cs));
    state.SetItemsProcessed(state.iterations());
}

void CommandNewConnection(benchmark::State& state) {
    std::string cs = setup().connectString(false);
    for (auto _ : state) benchmark::DoNotOptimize(routeCommand(cs));
    state.SetItemsProcessed(state.iterations());
}

// The same call with nothing but ODBC: one connection, a statement per call.
void BareOdbc(benchmark::State& state) {
    Setup& s = setup();
    SQLHENV env;
    SQLHDBC dbc;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, (SQLPOINTER)SQL_OV_ODBC3, 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    db::odbc::Target t = db::odbc::target(db::ConnectionInfo::parse(s.connectString(true)));
    if (!SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, (SQLCHAR*)t.connectionString.c_str(), SQL_NTS, nullptr, 0,
                                        nullptr, SQL_DRIVER_NOPROMPT))) {
        state.SkipWithError("cannot connect");
        return;
    }
    char product[] = "SN24001-0006", station[] = "FCT-01";
    for (auto _ : state) {
        SQLHSTMT st;
        SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
        SQLINTEGER ret = 0;
        SQLLEN retInd = 0, pInd = SQLLEN(std::strlen(product)), sInd = SQLLEN(std::strlen(station));
        SQLBindParameter(st, 1, SQL_PARAM_OUTPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &ret, 0, &retInd);
        SQLBindParameter(st, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 12, 0, product, 0, &pInd);
        SQLBindParameter(st, 3, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 6, 0, station, 0, &sInd);
        SQLExecDirect(st, (SQLCHAR*)"{? = call uspCheckRouting(?,?)}", SQL_NTS);
        while (SQLMoreResults(st) == SQL_SUCCESS) {
        }
        SQLFreeHandle(SQL_HANDLE_STMT, st);
        if (ret != 3) {
            state.SkipWithError("the bare call did not answer 3");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
}

}  // namespace

BENCHMARK(TesterPooled)->Name("CheckRoute/Tester/pooled")->UseRealTime();
BENCHMARK(CommandPooled)->Name("CheckRoute/Command/pooled")->UseRealTime();
BENCHMARK(CommandNewConnection)->Name("CheckRoute/Command/new-connection")->UseRealTime();
BENCHMARK(BareOdbc)->Name("CheckRoute/BareOdbc")->UseRealTime();
