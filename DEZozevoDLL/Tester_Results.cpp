// Result upload workers (not yet in place: they answer as when no worker serves the generation).
#include "DEZozevoDLL/Tester.h"

namespace dz {

int32_t Tester::SaveResult10(const com::Variant&) { return 100; }
int32_t Tester::SaveResult20(const com::Variant&) { return 100; }

}  // namespace dz
