// Unit info workers (not yet in place: they answer as when no worker serves the generation).
#include "DEZozevoDLL/Tester.h"

namespace dz {

int32_t Tester::GetUnitInfo10(std::string, std::string&, std::string) { return 100; }
int32_t Tester::GetUnitInfo20(std::string, std::string&, std::string, std::string) { return 100; }

}  // namespace dz
