#include "sim/driver/driver.h"

#include "platform/com/module.h"
#include "platform/text.h"
#include "sim/sim.h"

namespace dz::db {

std::string SimDriver::pathOf(const std::string& dataSource) {
    std::string source = text::trim(dataSource);
    if (source.size() < 4 || !text::iequals(source.substr(0, 4), "sim:")) return "";
    std::string path = text::trim(source.substr(4));
    if (path.empty() || path.front() == '/') return path;
    return componentFolder() + "/" + path;
}

Response SimDriver::execute(Request& request) {
    std::string path = pathOf(request.connection.dataSource);
    if (path.empty()) throw Error(sim::kNoServer, FailureKind::NoServer);
    return sim::execute(path, request);
}

}  // namespace dz::db
