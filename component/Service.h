// What every service of a Tester works with: the thread's context and the
// Tester's log.
#pragma once

#include "component/Context.h"
#include "component/Log.h"

namespace dz {

class Service {
public:
    Service(Context& context, Log& log) : context(context), log(log) {}

protected:
    Context& context;
    Log& log;
};

}  // namespace dz
