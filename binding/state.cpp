#include "binding/state.h"

#include <nlohmann/json.hpp>

namespace dz::binding {

std::string stateJson(const TesterState& s) {
    using ojson = nlohmann::ordered_json;
    ojson j;
    j["startupStatus"] = s.startupStatus;
    j["generation"] = s.generation;
    j["revision"] = s.revision;
    j["schema"] = s.generation == 0 ? 0 : s.generation + s.revision;
    j["server"] = s.server;
    j["database"] = s.database;
    j["station"] = s.station;
    j["folder"] = s.folder;
    j["iniFile"] = s.iniFile;
    j["iniFound"] = s.iniFound;
    j["lastFailure"] = s.lastFailure ? ojson{{"status", s.lastFailure->status},
                                             {"description", s.lastFailure->description}}
                                     : ojson(nullptr);
    j["testId"] = s.testId ? ojson(*s.testId) : ojson(nullptr);
    return j.dump(-1, ' ', false, ojson::error_handler_t::replace);
}

}  // namespace dz::binding
