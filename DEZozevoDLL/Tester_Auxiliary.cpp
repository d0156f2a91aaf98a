// Auxiliary services (not yet in place).
#include "DEZozevoDLL/Tester.h"

namespace dz {

std::string Tester::GetErrMessage20(int32_t) { return ""; }
int32_t Tester::GetProductStructure(std::string, std::string&, std::string&) {
    checkThread();
    return 0;
}
int32_t Tester::GetGenericFunction(std::string, std::string&, std::string&, std::string) {
    checkThread();
    return 0;
}

}  // namespace dz
