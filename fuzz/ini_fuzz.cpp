// The INI reader on any file content, for the keys the component reads.
#include "platform/profile/profile.h"

#include <unistd.h>

#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/dz-ini-fuzz-" + std::to_string(getpid()) + ".ini";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    static const char* const kKeys[][2] = {{"DATABASE", "SERVER"},       {"DATABASE", "PWD"},
                                           {"OPTIONS", "ResendOnNetErr"}, {"GENERICFUNCTIONSMAPPING", "SetUnitData"},
                                           {"", ""},                      {"A", "B"}};
    for (const auto& k : kKeys) dz::profile::getString(k[0], k[1], "MISSING", path);
    return 0;
}
