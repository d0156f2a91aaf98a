// The component's own state: the start-up outcome, the connection in use,
// the last failure a method reported and the last stored result's test ID.
#include <sys/stat.h>

#include "DEZozevoDLL/ResendQueue.h"
#include "DEZozevoDLL/Results.h"
#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/Context.h"
#include "platform/db/db.h"

namespace dz {

TesterState Tester::state() const {
    checkThread();
    const Context& mv = threadContext();
    TesterState s;
    s.startupStatus = startupStatus_;
    s.generation = mv.profile.generation;
    s.revision = mv.profile.revision;
    try {
        const db::ConnectionInfo in =
            db::ConnectionInfo::parse(mv.connections.working.empty() ? mv.connections.master : mv.connections.working);
        s.server = in.dataSource;
        s.database = in.initialCatalog;
    } catch (const std::exception&) {
        // A connection string the INI made unreadable names no server.
    }
    s.station = mv.settings.station;
    s.folder = componentFolder();
    s.iniFile = IniFileName;
    struct stat st{};
    s.iniFound = ::stat(IniFileName.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    s.lastFailure = lastFailure_;
    s.testId = lastTestId_;
    const ResendQueue queue(results::resendFilePath());
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
