// The component in-process against the MES simulator with the sample
// deployment files: the buffer folder. (Every method on generation 10 and 24:
// sim_session_test; a station cycle compared with the network, the failure
// classes that canned answers drive, and a refused login: odbc_e2e_test.)
#include <gtest/gtest.h>

#include "component/Tester.h"
#include "support/plant.h"

using namespace dz;

namespace {

const com::Variant kFinalRun("<TestRun Station=\"FINAL-01\" Start=\"2026-03-07T14:05:09\"><DUT ID=\"SN24001-0002\" "
                             "STATUS=\"PASS\"><Step Name=\"Vout\" Status=\"PASS\"/></DUT></TestRun>");

}  // namespace

// Final inspection is served by the master; its passing results also go into
// the buffer folder, with the test ID in the file name.
TEST(SimComponent, GenerationTenBufferFolder) {
    test::Plant p(10);
    p.setIni("STATION=FCT-01", "STATION=FINAL-01");
    Tester t;
    std::string info;
    ASSERT_EQ(t.GetUnitInfo(test::unitRequest("SN24001-0002"), info), 0) << p.log();
    ASSERT_EQ(t.SaveResult(kFinalRun), 0);
    nlohmann::json stored = p.results().back();
    EXPECT_EQ(stored["document"].get<std::string>().rfind("<TestResultHeader STATION=\"FINAL-01\"", 0), 0u);
    std::string file = p.home.file("buffer/SN24001-0002_" + std::to_string(stored["test_id"].get<long>()) + ".xml");
    EXPECT_NE(test::readFile(file).find("urn:SaveResult-schema"), std::string::npos) << file;
}
