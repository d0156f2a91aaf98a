#include "support/plant.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/db/drivers/odbc/odbc.h"
#include "sim/sim.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace dz::test {

namespace {

std::vector<json> parsed(const std::vector<std::string>& lines) {
    std::vector<json> out;
    for (const auto& l : lines) out.push_back(json::parse(l));
    return out;
}

}  // namespace

std::string siteFile(const std::string& name) { return readFile(sitePath(name)); }

std::string unitRequest(const std::string& sn) {
    return "<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\" SerialNumber=\"" + sn + "\"/>";
}

Plant::Plant(int generation, bool network, const std::vector<std::string>& listenerOptions) {
    for (const char* f : {"DEZozevo.xsl", "GetHeader.xsl", "SaveResult.xsd", "GetUnitInfo.xsd"})
        home.write(f, siteFile(f));
    sim::InitOptions o;
    o.generation = generation;
    o.sample = true;
    sim::create(db(), o);
    ini = siteFile("DEZozevo.ini");
    home.write("DEZozevo.ini", ini);
    if (network) {
        server = std::make_unique<SimListener>(db(), 0, listenerOptions);
        sim::query(db(), "UPDATE slaves SET server_name = '" + server->dataSource() + "'");
        setIni("SERVER=sim:plant.db", "SERVER=" + server->dataSource());
    }
    setenv("DEZOZEVO_HOME", home.path().c_str(), 1);
    setenv("DEZOZEVO_RESEND_FILE", home.file("resend.xml").c_str(), 1);
}

Plant::~Plant() {
    unsetenv("DEZOZEVO_HOME");
    unsetenv("DEZOZEVO_RESEND_FILE");
    server.reset();
    db::odbc::OdbcDriver::instance()->clearPool();
}

void Plant::setIni(const std::string& from, const std::string& to) {
    size_t at = ini.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    ini.replace(at, from.size(), to);
    home.write("DEZozevo.ini", ini);
}

std::vector<json> Plant::results() const { return parsed(sim::results(db())); }
std::vector<json> Plant::calls() const { return parsed(sim::journal(db())); }

std::string Plant::log() const {
    std::string all;
    for (const auto& e : fs::directory_iterator(home.path()))
        if (e.path().extension() == ".log") all += readFile(e.path().string());
    return all;
}

}  // namespace dz::test
