// Calibration: reading the database's XML pieces and storing a document.
#include <gtest/gtest.h>

#include "component/Tester.h"
#include "component/Context.h"
#include "support/station.h"

using dz::db::Value;
using Answer = dz::db::ScriptedDriver::Answer;
using Lines = std::vector<std::string>;

namespace {

struct Calibration : ::testing::Test, dz::test::Started {
    Calibration() : Started(10) {}
};

TEST_F(Calibration, ProceduresAndParameters) {
    t->GetCalibrationInfo(out);
    t->GetCalibrationInfo(out, "ST\xC3\xA4", "FX9");
    EXPECT_EQ(t->SaveCalibration("<C n='\xC3\xA4'>X'1</C>"), 0);
    auto calls = st->db->calls();
    ASSERT_EQ(calls.size(), 3u);
    for (const auto& c : calls) {
        EXPECT_EQ(dz::test::command(c), &c == &calls[2] ? "uspSaveCalibration StoredProc 30"
                                                        : "uspGetCalibrationInfo StoredProc 30");
        EXPECT_EQ(c.connectionString, dz::threadContext().connections.working);
    }
    EXPECT_EQ(dz::test::params(calls[0]), (Lines{"@station VarChar In 3 'ST1'", "@fixture VarChar In 10 Null"}));
    EXPECT_EQ(dz::test::params(calls[1]), (Lines{"@station VarChar In 3 'ST\xC3\xA4'", "@fixture VarChar In 3 'FX9'"}));
    EXPECT_EQ(dz::test::params(calls[2]), (Lines{"return Integer Return 0 0",  // apostrophes doubled
                                                 "@xmlCalibration LongVarChar In 19 '<C n=''\xC3\xA4''>X''1</C>'"}));
}

TEST_F(Calibration, InfoAnswers) {
    const Answer pieces = Answer::rowsOf({"strXML", "n"}, {{"<CAL>", 1}, {nullptr, 2}, {"</CAL>", 3}});
    Answer lost = Answer::rowsOf({"strXML", "n"}, {{"<CAL>", 1}, {"</CAL>", 2}});
    lost.failAtRow = {{1, "[DBNETLIB]General network error."}};
    const auto on = [&](Answer a) { st->db->on("uspGetCalibrationInfo", std::move(a)); };
    on(Answer::rowsOf({"strXML"}, {}));
    on(Answer::rowsOf({"strXML"}, {}));
    on(pieces);
    on(pieces);
    for (Value code : {Value(4), Value(0), Value(-1), Value()}) on(Answer::rowsOf({"ERROR"}, {{code}}));
    on(Answer::rowsOf({"xml", "n"}, {{"<CAL>", 1}}));
    on(lost);
    EXPECT_EQ(t->GetCalibrationInfo(out), 6000);  // the INI station was sent, but none is named
    EXPECT_EQ(t->GetCalibrationInfo(out, "ST9"), 6000);
    EXPECT_EQ(out, "kept");
    out = "";
    EXPECT_EQ(t->GetCalibrationInfo(out), 0);
    EXPECT_EQ(out, "<CAL></CAL>");
    out = "X";
    EXPECT_EQ(t->GetCalibrationInfo(out), 0);  // pieces are appended to the caller's text
    EXPECT_EQ(out, "X<CAL></CAL>");
    for (int status : {4, 0, -1, 9999, 9999, 9002}) EXPECT_EQ(t->GetCalibrationInfo(out, "ST1", "F"), status);
    EXPECT_EQ(out, "X<CAL></CAL>");  // no pieces of a broken answer
    EXPECT_EQ(st->messages(),
              (Lines{"No Record returned for GetCalibrationInfo10. Station=",
                     "No Record returned for GetCalibrationInfo10. Station=ST9", "<CAL></CAL>", "X<CAL></CAL>",
                     "GetCalibrationInfo10 returned =4", "GetCalibrationInfo10 returned =0",
                     "GetCalibrationInfo10 returned =-1", "Invalid use of Null",
                     "Item cannot be found in the collection corresponding to the requested name or ordinal.",
                     "[DBNETLIB]General network error."}));
}

TEST_F(Calibration, SaveStatusIsTheReturnValue) {
    Answer null;
    null.returnValue = Value();
    st->db->on("uspSaveCalibration", Answer::status(0));
    st->db->on("uspSaveCalibration", Answer::status(12));
    st->db->on("uspSaveCalibration", Answer::status(-1));
    st->db->on("uspSaveCalibration", null);
    st->db->on("uspSaveCalibration", Answer::failure("Could not find stored procedure 'uspSaveCalibration'."));
    st->db->on("uspSaveCalibration", Answer::failure("Timeout expired"));
    for (int status : {0, 12, -1, 9999, 9999, 9003}) EXPECT_EQ(t->SaveCalibration("<c/>"), status);
    // Neither the document nor a success is logged.
    EXPECT_EQ(st->messages(), (Lines{"SaveCalibration10 returned value=12", "Invalid use of Null",
                                     "Could not find stored procedure 'uspSaveCalibration'.", "Timeout expired"}));
}

}  // namespace
