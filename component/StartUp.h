// Start-up: reads DEZozevo.ini into the context's settings, detects the
// server generation, resolves the station's working connection and loads the
// XML objects of the component folder. A step that fails keeps its setting
// as it was, and start-up goes on.
#pragma once

#include <cstdint>
#include <string>

#include "component/Service.h"

namespace dz {

class StartUp : public Service {
public:
    using Service::Service;
    // 0 when the station's connection was resolved, else 10, 20, 30 or 100 (logged).
    int16_t run(const std::string& iniFileName);
    // The working connection for `station` on the detected generation:
    // 0, or 10 (the master failed), 20 (it refused), 30 (no answer), 100 (no generation).
    int16_t resolveConnection(const std::string& station);
    // The generation probe's failure at the last run ("" when it answered).
    const std::string& failure() const { return failure_; }

private:
    void readSettings(const std::string& iniFileName);
    void detectGeneration();
    int16_t resolve10(const std::string& station);
    int16_t resolve20(const std::string& station);
    void loadDocuments(const std::string& folder);

    std::string failure_;
};

// The unit-info style sheet used when the component folder has no GetUnitInfo.xsl.
std::string builtInUnitInfoStyleSheet();

}  // namespace dz
