#include "component/Context.h"

namespace dz {

Context& threadContext() {
    thread_local Context context;
    return context;
}

}  // namespace dz
