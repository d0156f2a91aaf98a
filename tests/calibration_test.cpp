// Calibration: reading the database's XML pieces and storing a document.
#include <gtest/gtest.h>

#include <memory>

#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/modVariables.h"
#include "support/station.h"

using dz::Tester;
using dz::db::Parameter;
using dz::db::ScriptedDriver;
using dz::db::Value;
using dz::test::Station;
using Answer = ScriptedDriver::Answer;
using Lines = std::vector<std::string>;

namespace {

void expectParam(const Parameter& p, const std::string& name, dz::db::DataType type,
                 dz::db::ParameterDirection dir, long size, const Value& value) {
    SCOPED_TRACE(name);
    EXPECT_EQ(p.name, name);
    EXPECT_EQ(p.type, type);
    EXPECT_EQ(p.direction, dir);
    EXPECT_EQ(p.size, size);
    EXPECT_EQ(p.value, value);
}

struct Server {
    std::unique_ptr<Station> st;
    std::unique_ptr<Tester> t;
    explicit Server(int generation) {
        dz::modVariables() = dz::ModVariables{};
        st = std::make_unique<Station>();
        st->serveGeneration(generation);
        t = std::make_unique<Tester>();
        st->db->clearCalls();
        st->clearLog();
    }
};

struct Calibration : ::testing::Test, Server {
    Calibration() : Server(10) {}
};

TEST(CalibrationGeneration, LaterGenerationsAnswerZeroWithoutAQuery) {
    Server s(23);
    s.st->db->on("uspSaveCalibration", Answer::status(12));
    std::string out = "kept";
    EXPECT_EQ(s.t->GetCalibrationInfo(out, "ST1", "FX"), 0);
    EXPECT_EQ(s.t->SaveCalibration("<cal/>"), 0);
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(s.st->db->callCount(), 0u);
    EXPECT_EQ(s.st->log(), "");
}

TEST_F(Calibration, InfoParameters) {
    std::string out;
    t->GetCalibrationInfo(out);
    t->GetCalibrationInfo(out, "ST\xC3\xA4", "FX9");
    auto calls = st->db->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].text, "uspGetCalibrationInfo");
    EXPECT_EQ(calls[0].type, dz::db::adCmdStoredProc);
    EXPECT_EQ(calls[0].timeout, 30);
    EXPECT_EQ(calls[0].connectionString, dz::modVariables().ConnectString);
    ASSERT_EQ(calls[0].parameters.size(), 2u);
    expectParam(calls[0].parameters[0], "@station", dz::db::adVarChar, dz::db::adParamInput, 3, Value("ST1"));
    expectParam(calls[0].parameters[1], "@fixture", dz::db::adVarChar, dz::db::adParamInput, 10, Value());
    ASSERT_EQ(calls[1].parameters.size(), 2u);
    expectParam(calls[1].parameters[0], "@station", dz::db::adVarChar, dz::db::adParamInput, 3, Value("ST\xC3\xA4"));
    expectParam(calls[1].parameters[1], "@fixture", dz::db::adVarChar, dz::db::adParamInput, 3, Value("FX9"));
}

TEST_F(Calibration, NoRowNamesTheStationAsGiven) {
    st->db->on("uspGetCalibrationInfo", Answer::rowsOf({"strXML"}, {}));
    std::string out = "kept";
    EXPECT_EQ(t->GetCalibrationInfo(out), 6000);  // the INI station was sent, but none is named
    EXPECT_EQ(t->GetCalibrationInfo(out, "ST9"), 6000);
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(st->messages(), (Lines{"No Record returned for GetCalibrationInfo10. Station=",
                                     "No Record returned for GetCalibrationInfo10. Station=ST9"}));
}

TEST_F(Calibration, PiecesAreAppendedToTheCallersText) {
    const Answer pieces = Answer::rowsOf({"strXML", "n"}, {{"<CAL>", 1}, {nullptr, 2}, {"</CAL>", 3}});
    st->db->on("uspGetCalibrationInfo", pieces);
    st->db->on("uspGetCalibrationInfo", pieces);
    std::string out;
    EXPECT_EQ(t->GetCalibrationInfo(out), 0);
    EXPECT_EQ(out, "<CAL></CAL>");
    out = "X";
    EXPECT_EQ(t->GetCalibrationInfo(out), 0);
    EXPECT_EQ(out, "X<CAL></CAL>");
    EXPECT_EQ(st->messages(), (Lines{"<CAL></CAL>", "X<CAL></CAL>"}));  // the whole output, level 2
}

TEST_F(Calibration, InfoErrorCodesAndFailures) {
    st->db->on("uspGetCalibrationInfo", Answer::rowsOf({"ERROR"}, {{4}}));
    st->db->on("uspGetCalibrationInfo", Answer::rowsOf({"ERROR"}, {{-1}}));
    st->db->on("uspGetCalibrationInfo", Answer::rowsOf({"ERROR"}, {{nullptr}}));
    st->db->on("uspGetCalibrationInfo", Answer::rowsOf({"xml", "n"}, {{"<CAL>", 1}}));
    Answer lost = Answer::rowsOf({"strXML", "n"}, {{"<CAL>", 1}, {"</CAL>", 2}});
    lost.failAtRow = std::make_pair(size_t(1), std::string("[DBNETLIB]General network error."));
    st->db->on("uspGetCalibrationInfo", lost);
    std::string out = "X";
    EXPECT_EQ(t->GetCalibrationInfo(out, "ST1", "F"), 4);
    EXPECT_EQ(t->GetCalibrationInfo(out, "ST1", "F"), -1);
    EXPECT_EQ(t->GetCalibrationInfo(out, "ST1", "F"), 9999);
    EXPECT_EQ(t->GetCalibrationInfo(out, "ST1", "F"), 9999);
    EXPECT_EQ(t->GetCalibrationInfo(out, "ST1", "F"), 9002);
    EXPECT_EQ(out, "X");  // no pieces of a broken answer
    EXPECT_EQ(st->messages(),
              (Lines{"GetCalibrationInfo10 returned =4", "GetCalibrationInfo10 returned =-1", "Invalid use of Null",
                     "Item cannot be found in the collection corresponding to the requested name or ordinal.",
                     "[DBNETLIB]General network error."}));
}

TEST_F(Calibration, SaveSendsTheDocumentWithApostrophesDoubled) {
    EXPECT_EQ(t->SaveCalibration("<C n='\xC3\xA4'>X'1</C>"), 0);
    auto calls = st->db->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].text, "uspSaveCalibration");
    EXPECT_EQ(calls[0].type, dz::db::adCmdStoredProc);
    EXPECT_EQ(calls[0].timeout, 30);
    ASSERT_EQ(calls[0].parameters.size(), 2u);
    expectParam(calls[0].parameters[0], "return", dz::db::adInteger, dz::db::adParamReturnValue, 0, Value(0));
    expectParam(calls[0].parameters[1], "@xmlCalibration", dz::db::adLongVarChar, dz::db::adParamInput, 19,
                Value("<C n=''\xC3\xA4''>X''1</C>"));
    EXPECT_EQ(st->log(), "");  // neither the document nor a success is logged
}

TEST_F(Calibration, SaveStatusIsTheReturnValue) {
    st->db->on("uspSaveCalibration", Answer::status(12));
    st->db->on("uspSaveCalibration", Answer::status(-1));
    Answer null;
    null.returnValue = Value();
    st->db->on("uspSaveCalibration", null);
    st->db->on("uspSaveCalibration", Answer::failure("Could not find stored procedure 'uspSaveCalibration'."));
    st->db->on("uspSaveCalibration", Answer::failure("Timeout expired"));
    EXPECT_EQ(t->SaveCalibration("<c/>"), 12);
    EXPECT_EQ(t->SaveCalibration("<c/>"), -1);
    EXPECT_EQ(t->SaveCalibration("<c/>"), 9999);
    EXPECT_EQ(t->SaveCalibration("<c/>"), 9999);
    EXPECT_EQ(t->SaveCalibration("<c/>"), 9003);
    EXPECT_EQ(st->messages(), (Lines{"SaveCalibration10 returned value=12", "Invalid use of Null",
                                     "Could not find stored procedure 'uspSaveCalibration'.", "Timeout expired"}));
}

}  // namespace
