// The INI reader on any file content, for the keys the component reads.
#include "platform/profile/profile.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // In memory where there is a /dev/shm: a file per input is most of the time.
    static const std::string path = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                    "/dz-ini-fuzz-" + std::to_string(getpid()) + ".ini";
    static const int cleanup = std::atexit([] { std::remove(path.c_str()); });
    (void)cleanup;
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
