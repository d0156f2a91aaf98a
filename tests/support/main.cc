#include <gtest/gtest.h>

#include "binding/drivers.h"

int main(int argc, char** argv) {
    dz::binding::installDrivers();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
