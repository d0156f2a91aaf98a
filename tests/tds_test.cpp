// The simulator's TDS listener through the SQL Server driver: parameters of
// every type, record sets, return and output values, text batches, server
// errors, the failures the status codes are made of, and connection reuse.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/db/db.h"
#include "platform/db/drivers/odbc/error.h"
#include "platform/db/drivers/odbc/odbc.h"
#include "sim/sim.h"
#include "support/listener.h"
#include "support/station.h"

using namespace dz;
using namespace dz::db;
using json = nlohmann::json;

namespace {

class Tds : public ::testing::Test {
protected:
    void SetUp() override {
        sim::InitOptions o;
        o.generation = 10;
        o.sample = true;
        sim::create(path(), o);
        server = std::make_unique<test::SimListener>(path());
    }

    std::string path() const { return dir.file("plant.db"); }
    std::string connect(const std::string& password = "station", const std::string& extra = "") const {
        return "Provider=SQLOLEDB;" + extra + "Password=" + password + ";User ID=station;Initial Catalog=MES;Data Source=" +
               server->dataSource() + ";Network Library=DBMSSOCN";
    }
    std::string local() const {
        return "Provider=SQLOLEDB;Password=station;User ID=station;Initial Catalog=MES;Data Source=sim:" + path();
    }
    Command proc(const std::string& name, int timeout = 30) const {
        Command c;
        c.activeConnection = connect();
        c.timeout = timeout;
        c.text = name;
        c.type = adCmdStoredProc;
        return c;
    }
    std::vector<json> calls() const {
        std::vector<json> out;
        for (const auto& l : sim::journal(path())) out.push_back(json::parse(l));
        return out;
    }
    void answers(const std::string& js) const { sim::loadAnswers(path(), js); }

    static std::string failure(Command& c) {
        try {
            c.execute();
        } catch (const Error& e) {
            return e.description();
        }
        return "";
    }

    test::TempDir dir;
    std::unique_ptr<test::SimListener> server;
};

}  // namespace

TEST_F(Tds, RouteCheckReturnsTheProcedureStatus) {
    Command c = proc("uspCheckRouting");
    c.append("@Product", adVarChar, adParamInput, "SN24001-0006");
    c.append("@Station", adVarChar, adParamInput, "FCT-01");
    Recordset rs = c.execute();
    EXPECT_FALSE(rs.isOpen());
    EXPECT_EQ(c.value("@RETURN_VALUE").toInt32(), 3);

    json call = calls().back();
    EXPECT_EQ(call["text"], "uspCheckRouting");
    EXPECT_EQ(call["params"][1]["value"], "SN24001-0006");
    EXPECT_EQ(call["params"][1]["type"], 200);
}
