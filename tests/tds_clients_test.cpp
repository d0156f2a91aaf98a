// Independent TDS clients accept the simulator's listener: FreeTDS's tsql
// and the pure-Python client of python3-tds. Each test is skipped when its
// client is not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "sim/sim.h"
#include "support/listener.h"
#include "support/station.h"

using namespace dz;

namespace {

class Clients : public ::testing::Test {
protected:
    void SetUp() override {
        sim::InitOptions o;
        o.sample = true;
        sim::create(dir.file("plant.db"), o);
        server = std::make_unique<test::SimListener>(dir.file("plant.db"));
    }
    // Runs a shell command; its standard output and error, and the exit status.
    std::pair<std::string, int> run(const std::string& cmd) const {
        int status = std::system((cmd + " >" + dir.file("out.txt") + " 2>&1").c_str());
        return {dir.read("out.txt"), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    }
    test::TempDir dir;
    std::unique_ptr<test::SimListener> server;
};

}  // namespace

TEST_F(Clients, Tsql) {
    if (access("/usr/bin/tsql", X_OK) != 0) GTEST_SKIP() << "tsql is not installed";
    dir.write("input.sql",
              "select 1 a, 'x' b\ngo\nexec uspGetOrderInfo 'FCT-01'\ngo\nexec uspNoSuchThing\ngo\nexit\n");
    std::string base = "timeout 30 /usr/bin/tsql -H " + server->host() + " -p " + std::to_string(server->port()) +
                       " -U station -D MES";
    auto [out, status] = run(base + " -P station < " + dir.file("input.sql"));
    EXPECT_NE(out.find("a\tb\n1\tx\n"), std::string::npos) << out;
    EXPECT_NE(out.find("WO-24001\t50\t10\t2\t24001"), std::string::npos) << out;
    EXPECT_NE(out.find("Could not find stored procedure 'uspNoSuchThing'."), std::string::npos) << out;

    auto [bad, badStatus] = run(base + " -P wrong < " + dir.file("input.sql"));
    EXPECT_NE(bad.find("Login failed for user 'station'."), std::string::npos) << bad;
    EXPECT_NE(badStatus, 0);
}

TEST_F(Clients, PythonTds) {
    if (run("/usr/bin/python3 -c 'import pytds'").second != 0) GTEST_SKIP() << "python3-tds is not installed";
    sim::loadAnswers(dir.file("plant.db"), R"({"procedures": {"uspSiteOnly": {"outputs": {"2": "second"}}}})");
    dir.write("client.py", R"(import sys, pytds
host, port = sys.argv[1], int(sys.argv[2])
with pytds.connect(server=host, port=port, database='MES', user='station', password='station') as conn:
    with conn.cursor() as cur:
        cur.execute("select 1 a, 'x' b")
        print('select', cur.fetchall())
        cur.callproc('uspCheckRouting', ('SN24001-0006', 'FCT-01'))
        print('status', cur.get_proc_return_status())
        cur.callproc('uspGetOrderInfo', ('FCT-01',))
        print('order', cur.fetchall())
        r = cur.callproc('uspTestSaveResult', ('<TestResult><DUT ID="SN24001-0003" STATUS="PASS"/></TestResult>',
                                               pytds.output(param_type=float)))
        print('testid', r[1] > 0)
        print('canned', cur.callproc('uspSiteOnly', ('x', pytds.output(param_type=str)))[1])
        cur.execute("select %s a, %s b", ("it's", 5))
        print('params', cur.fetchall())
        try:
            cur.callproc('uspNoSuchThing', ())
        except pytds.ProgrammingError as e:
            print('error', e)
    conn.commit()
try:
    pytds.connect(server=host, port=port, database='MES', user='station', password='wrong')
except pytds.Error as e:
    print('login', e)
)");
    auto [out, status] = run("timeout 60 /usr/bin/python3 " + dir.file("client.py") + " " + server->host() + " " +
                             std::to_string(server->port()));
    EXPECT_EQ(status, 0) << out;
    for (const char* line : {"select [(1, 'x')]", "status 3", "order [('WO-24001', 50, 10, 2, 24001)]", "testid True",
                             "canned second", "params [(\"it's\", 5)]",
                             "error Could not find stored procedure 'uspNoSuchThing'.",
                             "login Login failed for user 'station'."})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
}
