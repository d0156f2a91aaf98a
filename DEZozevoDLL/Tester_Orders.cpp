// Work order and model workers (not yet in place).
#include "DEZozevoDLL/Tester.h"

namespace dz {

int32_t Tester::GetOrderInfo10_20(std::string&, std::string) { return 0; }
int32_t Tester::GetOrderInfoByStation10_20(std::string&, std::string) { return 0; }
int32_t Tester::GetModelAttributes10_20(std::string&, std::string, std::string) { return 0; }

}  // namespace dz
