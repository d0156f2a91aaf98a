// Unit attributes worker (not yet in place).
#include "DEZozevoDLL/Tester.h"

namespace dz {

int32_t Tester::GetUnitAttributes10(std::string, std::string&, std::string) { return 0; }

}  // namespace dz
