// Calibration workers (not yet in place).
#include "DEZozevoDLL/Tester.h"

namespace dz {

int32_t Tester::GetCalibrationInfo10(std::string&, std::string, std::string) { return 0; }
int32_t Tester::SaveCalibration10(std::string) { return 0; }

}  // namespace dz
