// "May this unit be tested here now?" on every server generation: generation
// 10 asks the database (CheckRoute) and then fetches the unit document;
// generation 20 and later fetch the unit document and read the unit's status
// and next station from it with the unit-check style sheet: UnitCheck.xsl in
// the component folder when the site puts one there, else the built-in one,
// which reads the sample site's unit document.
#pragma once

#include <cstdint>
#include <string>

namespace dz {
class Tester;
}

namespace dz::unitcheck {

// The unit request of the sample site's GetUnitInfo.xsd for one serial number.
std::string request(const std::string& serial);

// 0 when the unit may be tested at `station` (empty: the INI station) now,
// with its unit document in `unitInfo`; else the refusal's status, logged at
// level 1. One business call of `tester`, on its own thread only: a refusal
// becomes its lastFailure.
int32_t mayTest(Tester& tester, const std::string& serial, const std::string& station, std::string& unitInfo);

// The verdict of the unit-check style sheet `styleSheet` (its text) on a unit
// document for a station: its status and reason.
struct Verdict {
    int32_t status = 0;
    std::string reason;
};
Verdict judge(const std::string& styleSheet, const std::string& unitInfo, const std::string& station);
const char* builtInStyleSheet();

}  // namespace dz::unitcheck
