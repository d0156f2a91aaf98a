#include "DEZozevoDLL/modVariables.h"

namespace dz {

ModVariables& modVariables() {
    thread_local ModVariables vars;
    return vars;
}

}  // namespace dz
