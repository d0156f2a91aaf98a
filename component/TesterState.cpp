// The component's own state: the start-up outcome, the connection in use,
// the last failure a method reported and the last stored result's test ID.
#include <sys/stat.h>

#include "component/ResendQueue.h"
#include "component/Results.h"
#include "component/Tester.h"
#include "platform/db/db.h"

namespace dz {

TesterState Tester::state() const {
    checkThread();
    TesterState s;
    s.startupStatus = startupStatus_;
    s.generation = context_.profile.generation;
    s.revision = context_.profile.revision;
    try {
        const db::ConnectionInfo in =
            db::ConnectionInfo::parse(context_.connections.working.empty() ? context_.connections.master : context_.connections.working);
        s.server = in.dataSource;
        s.database = in.initialCatalog;
    } catch (const std::exception&) {
        // A connection string the INI made unreadable names no server.
    }
    s.station = context_.settings.station;
    s.folder = componentFolder();
    s.iniFile = iniFile_;
    struct stat st{};
    s.iniFound = ::stat(iniFile_.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    s.lastFailure = lastFailure_;
    s.testId = results_.testId();
    const ResendQueue queue(results::resendFilePath(context_.settings));
    const ResendQueue::Counts counts = queue.counts();
    s.queue = {queue.path(), counts.kept, counts.oldestSeconds, counts.rejected};
    return s;
}

void Tester::beginCall() {
    log_.takeFailureLines();
    db::takeDiagnostics();
}

int32_t Tester::endCall(int32_t status) {
    if (status != 0) {
        Failure f{status, {}, db::takeDiagnostics()};
        for (const std::string& line : log_.takeFailureLines()) f.description += (f.description.empty() ? "" : "\n") + line;
        if (f.description.empty() && status == 100)
            f.description = "No server generation was detected at start-up, so no worker serves this call";
        lastFailure_ = std::move(f);
    }
    log_.takeFailureLines();
    if (status == 0) db::takeDiagnostics();
    return status;
}

}  // namespace dz
