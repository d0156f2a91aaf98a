// What the benchmark programs share: a component folder laid out from the
// sample site (DZ_SOURCE_DIR/site), and the listener started in-process.
#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "sim/tds/server.h"

namespace dzbench {

namespace fs = std::filesystem;

using Edits = std::vector<std::pair<std::string, std::string>>;

inline std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + p.string());
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The sample INI file into `dir`, naming the database `server` and logging
// failures only, as a station runs; `more` replaces further texts.
inline void writeIni(const fs::path& dir, const std::string& server, const Edits& more = {}) {
    std::string ini = readFile(fs::path(DZ_SOURCE_DIR) / "site" / "DEZozevo.ini");
    auto put = [&](const std::string& from, const std::string& to) {
        size_t at = ini.find(from);
        if (at == std::string::npos) throw std::runtime_error("the sample INI file has no " + from);
        ini.replace(at, from.size(), to);
    };
    put("SERVER=sim:plant.db", "SERVER=" + server);
    put("LEVEL=2", "LEVEL=1");
    for (const auto& [from, to] : more) put(from, to);
    std::ofstream(dir / "DEZozevo.ini", std::ios::binary) << ini;
}

// The site's style sheets and schemas, and the INI file writeIni writes.
inline void layOutComponent(const fs::path& dir, const std::string& server, const Edits& more = {}) {
    const fs::path site = fs::path(DZ_SOURCE_DIR) / "site";
    for (const char* f : {"DEZozevo.xsl", "GetHeader.xsl", "SaveResult.xsd", "GetUnitInfo.xsd"})
        fs::copy_file(site / f, dir / f);
    writeIni(dir, server, more);
}

// The listener serving the simulator file `db` on a free loopback port; with
// TLS when `certDir` holds server.pem and server.key (dezozevo-sim-certs).
inline std::unique_ptr<dz::sim::tds::Server> listen(const std::string& db, const std::string& certDir = "") {
    dz::sim::tds::ServeOptions so;
    so.path = db;
    so.port = 0;
    if (!certDir.empty()) {
        so.tlsCert = certDir + "/server.pem";
        so.tlsKey = certDir + "/server.key";
    }
    auto server = std::make_unique<dz::sim::tds::Server>(so);
    server->start();
    return server;
}

// A Data Source naming a listener: "HOST,PORT".
inline std::string dataSource(const dz::sim::tds::Server& s) { return s.host() + "," + std::to_string(s.port()); }

// The sample station login's connection string to `dataSource`.
inline std::string connectString(const std::string& dataSource, const std::string& extra = "") {
    return "Provider=SQLOLEDB;" + extra + "Password=station;User ID=station;Initial Catalog=MES;Data Source=" +
           dataSource + ";Network Library=DBMSSOCN";
}

}  // namespace dzbench
