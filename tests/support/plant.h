// A component folder laid out like the demo's: the sample deployment files
// of site/ and a sample simulator database plant.db, reached in-process
// ("sim:plant.db") or through the simulator's TDS listener.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/listener.h"
#include "support/station.h"

namespace dz::test {

std::string siteFile(const std::string& name);  // a file of site/, whole
// A GetUnitInfo request of the sample schema for one serial number.
std::string unitRequest(const std::string& sn);

class Plant {
public:
    // DEZOZEVO_HOME and DEZOZEVO_RESEND_FILE point into the folder while the
    // object lives. With `network`, a listener serves plant.db (started
    // with `listenerOptions`) and the INI file and the slave rows name it.
    explicit Plant(int generation, bool network = false, const std::vector<std::string>& listenerOptions = {});
    ~Plant();
    Plant(const Plant&) = delete;
    Plant& operator=(const Plant&) = delete;

    std::string db() const { return home.file("plant.db"); }
    // Replaces the first `from` in the INI file (the test fails without one).
    void setIni(const std::string& from, const std::string& to);
    std::vector<nlohmann::json> results() const;  // the simulator's stored results
    std::vector<nlohmann::json> calls() const;    // its journal
    std::string log() const;                      // the component's log files, joined

    TempDir home;
    std::unique_ptr<SimListener> server;
    std::string ini;
};

}  // namespace dz::test
