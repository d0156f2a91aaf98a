// The simulator as a lab's MES: the journal's entries, filters and bounds,
// and fault schedules applied to calls in-process.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/db/db.h"
#include "sim/sim.h"
#include "support/errors.h"
#include "support/station.h"

using namespace dz;
using namespace dz::db;
using json = nlohmann::json;

namespace {

struct Plant {
    Plant() {
        sim::InitOptions o;
        o.sample = true;
        sim::create(path, o);
    }

    Command command(const std::string& text, int timeout = 30) const {
        Command c;
        c.activeConnection = "Provider=SQLOLEDB;Password=station;User ID=station;Initial Catalog=MES;Data Source=sim:" + path;
        c.timeout = timeout;
        c.text = text;
        c.type = adCmdStoredProc;
        return c;
    }
    // "ok" or the failure.
    static std::string run(Command& c) {
        try {
            c.execute();
        } catch (const Error& e) {
            return e.description();
        }
        return "ok";
    }
    // uspCheckRouting with positional parameters: "ok STATUS" or the failure.
    std::string route(const std::string& station = "FCT-01", int timeout = 30) const {
        Command c = command("uspCheckRouting", timeout);
        c.append("", adVarChar, adParamInput, "SN24001-0003");
        c.append("", adVarChar, adParamInput, station);
        std::string r = run(c);
        return r == "ok" ? r + " " + std::to_string(c.value("@RETURN_VALUE").toInt32()) : r;
    }
    std::string save(const std::string& doc) const {
        Command c = command("uspTestSaveResult");
        c.append("@strXML", adLongVarChar, adParamInput, doc);
        c.append("@TestID", adDouble, adParamOutput, Value(), 0);
        return run(c);
    }
    std::vector<json> journal(const sim::JournalFilter& f = {}) const {
        std::vector<json> out;
        for (const auto& l : sim::journal(path, f)) out.push_back(json::parse(l));
        return out;
    }

    test::TempDir dir;
    std::string path = dir.file("plant.db");
};

std::string resultDoc(const std::string& extra = "") {
    return "<TestResult STATION=\"FCT-01\"><DUT ID=\"SN24001-0003\" STATUS=\"PASS\">" + extra + "</DUT></TestResult>";
}

}  // namespace

TEST(SimLabJournal, EntriesNameTheCallerStationOutcomeAndParametersAsSent) {
    Plant p;
    Command probe = p.command(test::kGenerationProbe);
    probe.type = adCmdText;
    probe.execute();
    EXPECT_EQ(p.route("ICT-01"), "ok 3");
    sim::loadAnswers(p.path, R"({"procedures": {"uspGetOrderInfo": {"return": 7, "fail": "Locked"}}})");
    Command c = p.command("uspGetOrderInfo");
    c.append("@RETURN_VALUE", adInteger, adParamReturnValue, 0, 0);
    c.append("@Station", adVarChar, adParamInput, "PACK-01");
    c.append("@Fixture", adVarChar, adParamInput, Value(), 10);
    EXPECT_EQ(Plant::run(c), "Locked");
    EXPECT_EQ(p.save(resultDoc()), "ok");

    std::vector<json> j = p.journal();
    ASSERT_EQ(j.size(), 4u);
    EXPECT_EQ(j[0]["type"], "text");
    EXPECT_EQ(j[0]["text"], test::kGenerationProbe);
    EXPECT_EQ(j[0]["rows"], 1);
    EXPECT_TRUE(std::regex_match(j[1]["at"].get<std::string>(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
    EXPECT_EQ(j[1]["connection"], "pid " + std::to_string(getpid()));
    EXPECT_EQ(j[1]["program"], "sim_lab_test");
    EXPECT_EQ(j[1]["login"], "station");
    EXPECT_EQ(j[1]["type"], "procedure");
    EXPECT_EQ(j[1]["procedure"], "uspCheckRouting");
    EXPECT_EQ(j[1]["station"], "ICT-01");  // from a positional parameter, named by the procedure
    EXPECT_EQ(j[1]["params"][0]["name"], "@Product");
    EXPECT_EQ(j[1]["status"], 3);
    EXPECT_EQ(j[1]["rows"], nullptr);
    EXPECT_EQ(j[1]["error"], nullptr);
    EXPECT_GE(j[1]["duration_ms"].get<double>(), 0.0);
    // A failure keeps the status the procedure set before it.
    EXPECT_EQ(j[2]["error"], "Locked");
    EXPECT_EQ(j[2]["status"], 7);
    EXPECT_EQ(j[2]["station"], "PACK-01");
    EXPECT_EQ(j[2]["params"], json::parse(R"([
        {"name": "@RETURN_VALUE", "type": 3, "direction": 4, "size": 0, "value": 0},
        {"name": "@Station", "type": 200, "direction": 1, "size": 7, "value": "PACK-01"},
        {"name": "@Fixture", "type": 200, "direction": 1, "size": 10, "value": null}])"));
    EXPECT_EQ(j[3]["params"][1]["value"], nullptr);  // as sent, before the output came back
}

TEST(SimLabJournal, FiltersAndFollowingByIdSelectEntries) {
    Plant p;
    p.route("FCT-01");
    p.route("ICT-01");
    p.save(resultDoc());
    struct Case {
        sim::JournalFilter filter;
        std::vector<std::string> procedures;
    };
    auto f = [](auto set) {
        sim::JournalFilter x;
        set(x);
        return x;
    };
    for (const Case& c : std::vector<Case>{
             {{}, {"uspCheckRouting", "uspCheckRouting", "uspTestSaveResult"}},
             {f([](auto& x) { x.station = "fct-01"; }), {"uspCheckRouting", "uspTestSaveResult"}},
             {f([](auto& x) { x.procedure = "USPTESTSAVERESULT"; }), {"uspTestSaveResult"}},
             {f([](auto& x) { x.afterId = 2; }), {"uspTestSaveResult"}},
             {f([](auto& x) { x.limit = 1; }), {"uspTestSaveResult"}},
             {f([](auto& x) { x.since = "5m"; }), {"uspCheckRouting", "uspCheckRouting", "uspTestSaveResult"}},
             {f([](auto& x) { x.since = "2099-01-01T00:00:00Z"; }), {}},
         }) {
        std::vector<std::string> got;
        for (const json& e : p.journal(c.filter)) got.push_back(e["procedure"]);
        EXPECT_EQ(got, c.procedures) << c.filter.station << c.filter.procedure << c.filter.since;
    }
    sim::JournalFilter bad;
    bad.since = "yesterday";
    EXPECT_THROW(p.journal(bad), std::runtime_error);
}

TEST(SimLabJournal, LongValuesAreKeptApartAndTheJournalStaysBoundedAndShared) {
    Plant p;
    std::string doc = resultDoc("<ITEM>" + std::string(200000, 'v') + "</ITEM>");
    EXPECT_EQ(p.save(doc), "ok");
    json e = p.journal().back();
    EXPECT_EQ(e["params"][0]["bytes"], doc.size());
    EXPECT_FALSE(e["params"][0].contains("value"));
    EXPECT_EQ(e["params"][0]["kept"], true);
    EXPECT_EQ(sim::journalValue(p.path, e["id"], 0), doc);
    EXPECT_EQ(e["station"], "FCT-01");

    // Entries older than the newest kJournalEntries go at the next trim.
    long long last = 25 * 1024 - 1;  // the next id is a multiple of 256
    sim::query(p.path, "INSERT INTO calls(id, at, type, text, params) VALUES(" + std::to_string(last) +
                           ", 'x', 'text', 'old', '[]')");
    p.route();
    std::vector<json> j = p.journal();
    ASSERT_EQ(j.size(), 2u);
    EXPECT_EQ(j[0]["id"], last);
    EXPECT_TRUE(sim::query(p.path, "SELECT 1 FROM call_texts").empty());

    // Several threads share one file; clearing empties it.
    sim::clearJournal(p.path);
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) ok += p.route() == "ok 3";  // the unit has moved on
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok.load(), 100);
    EXPECT_EQ(p.journal().size(), 100u);
    sim::clearJournal(p.path);
    EXPECT_TRUE(p.journal().empty());
}

TEST(SimLabJournal, AFileOfTheEarlierSchemaIsUpgradedWhenOpened) {
    Plant p;
    sim::query(p.path, "DROP TABLE faults");
    sim::query(p.path, "DROP TABLE call_texts");
    for (const char* c : {"connection", "host", "program", "station", "procedure", "status", "rows", "duration_ms", "error"})
        sim::query(p.path, std::string("ALTER TABLE calls DROP COLUMN ") + c);
    sim::query(p.path, "UPDATE meta SET value = '1' WHERE key = 'schema'");
    sim::releaseConnections();
    EXPECT_EQ(p.route(), "ok 0");
    EXPECT_EQ(p.journal().back()["station"], "FCT-01");
    EXPECT_EQ(sim::query(p.path, "SELECT value FROM meta WHERE key = 'schema'")[0], R"({"value":"2"})");
}

TEST(SimLabFaults, SchedulesHitTheCallsTheyName) {
    struct Case {
        std::string schedule;
        std::vector<std::string> stations;  // one call each
        std::vector<std::string> outcomes;
    };
    const std::string kFail = "The simulator failed this call on purpose.";
    for (const Case& c : std::vector<Case>{
             {R"({"action": "fail", "next": 2})", {"FCT-01", "FCT-01", "FCT-01"}, {kFail, kFail, "ok 0"}},
             {R"({"action": "fail", "every": 2, "status": 5})", {"FCT-01", "FCT-01", "FCT-01", "FCT-01"},
              {"ok 0", "ok 5", "ok 0", "ok 5"}},
             {R"({"action": "fail", "station": "ict-01", "error": "Fixture"})", {"FCT-01", "ICT-01"}, {"ok 0", "Fixture"}},
             {R"({"action": "fail", "procedure": "uspGetUnitInfo"})", {"FCT-01"}, {"ok 0"}},
             {R"({"action": "fail", "procedure": "[dbo].uspCheckRouting"})", {"FCT-01"}, {kFail}},
             {R"({"action": "fail", "procedure": "USPCHECKROUTING"})", {"FCT-01"}, {kFail}},
             {R"({"action": "fail", "login": "someone"})", {"FCT-01"}, {"ok 0"}},
             {R"({"action": "fail", "from": "+3600"})", {"FCT-01"}, {"ok 0"}},
             {R"({"action": "fail", "for_seconds": 3600})", {"FCT-01"}, {kFail}},
             {R"({"action": "fail", "until": "2000-01-01T00:00:00Z"})", {"FCT-01"}, {"ok 0"}},
             {R"({"action": "cut", "next": 1})", {"FCT-01", "FCT-01"}, {sim::kNetworkError, "ok 0"}},
             {R"({"action": "refuse-login", "next": 1})", {"FCT-01", "FCT-01"},
              {"Login failed for user 'station'.", "ok 0"}},
         }) {
        Plant p;
        sim::addFault(p.path, c.schedule);
        std::vector<std::string> got;
        for (const auto& st : c.stations) got.push_back(p.route(st));
        EXPECT_EQ(got, c.outcomes) << c.schedule;
        // Every call that ran is journaled with its outcome.
        for (const json& e : p.journal())
            EXPECT_TRUE(e["error"].is_null() || e["error"] == kFail || e["error"] == "Fixture" ||
                        e["error"] == "connection cut during the answer")
                << e.dump();
    }
}

TEST(SimLabFaults, LatencyTimeoutsAndCutAnswersKeepWhatRan) {
    Plant p;
    sim::addFault(p.path, R"({"action": "latency", "ms": [60, 80], "next": 1})");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(p.route(), "ok 0");
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(60));
    EXPECT_GE(p.journal().back()["duration_ms"].get<double>(), 60.0);

    sim::addFault(p.path, R"({"action": "timeout", "next": 1})");
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(p.route("FCT-01", 1), sim::kTimeout);  // after the command's time-out
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(950));

    // A cut answer: the result was stored, the caller saw the network fail.
    sim::addFault(p.path, R"({"action": "cut", "procedure": "uspTestSaveResult", "next": 1})");
    size_t stored = sim::results(p.path).size();
    EXPECT_EQ(p.save(resultDoc()), sim::kNetworkError);
    EXPECT_EQ(sim::results(p.path).size(), stored + 1);

    std::vector<json> f;
    for (const auto& l : sim::faults(p.path)) f.push_back(json::parse(l));
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0]["hits"], 1);
    EXPECT_EQ(f[0]["next"], 0);
    EXPECT_EQ(sim::clearFaults(p.path, f[1]["id"].get<long long>()), 1);
    EXPECT_EQ(sim::clearFaults(p.path), 2);

    // Canned answers' own faults are listed beside the schedules.
    sim::loadAnswers(p.path, R"({"procedures": {"uspX": {"delay_ms": 5, "drop": true, "fail": "F", "return": 4}}})");
    f.clear();
    for (const auto& l : sim::faults(p.path)) f.push_back(json::parse(l));
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0]["source"], "answers");
    EXPECT_EQ(f[0]["action"], "latency");
    EXPECT_EQ(f[2]["status"], 4);
}

TEST(SimLabFaults, InvalidSchedulesAreRefusedWithTheReason) {
    Plant p;
    for (auto [schedule, reason] : std::vector<std::pair<std::string, std::string>>{
             {"[]", "JSON object"},
             {R"({"action": "explode"})", "\"action\" must be"},
             {R"({"action": "fail", "nxt": 1})", "unknown key \"nxt\""},
             {R"({"action": "fail", "next": 0})", "\"next\" must be a whole number"},
             {R"({"action": "latency"})", "needs \"ms\""},
             {R"({"action": "latency", "ms": [90, 10]})", "range"},
             {R"({"action": "fail", "ms": 5})", "belongs to"},
             {R"({"action": "cut", "error": "x"})", "\"error\""},
             {R"({"action": "refuse-login", "station": "FCT-01"})", "applies to a login"},
             {R"({"action": "fail", "from": "noon"})", "UTC time"},
             {R"({"action": "fail", "from": "+60", "until": "+30"})", "after"},
         }) {
        try {
            sim::addFault(p.path, schedule);
            ADD_FAILURE() << "accepted: " << schedule;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
        }
    }
    EXPECT_TRUE(sim::faults(p.path).empty());
}
