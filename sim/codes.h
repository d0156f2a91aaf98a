// The simulated MES's own reason codes: return values of its procedures and
// values of their one-column "ERROR" answers. Their texts are in the
// messages table (language "ENG", type "ERROR").
#pragma once

namespace dz::sim {

enum ReasonCode : int {
    kOk = 0,
    kUnitNotFound = 1,           // no unit with this serial number
    kStationUnknown = 2,         // the station is not known to the MES
    kNotRouted = 3,              // the unit's next route step is at another station
    kUnitOnHold = 4,
    kUnitScrapped = 5,
    kRouteCompleted = 6,         // the unit has finished its route
    kWorkOrderNotReleased = 7,   // planned, on hold, completed, closed or canceled
    kRequestUnreadable = 41,     // a request without the data it must carry
    kPartUnknown = 42,           // no such part number (and revision)
    kResultUnreadable = 51,      // the result document is not well-formed
    kResultEmpty = 52,
    kResultNoUnit = 53,          // no DUT element with an ID
    kCalibrationUnreadable = 61,
};

}  // namespace dz::sim
