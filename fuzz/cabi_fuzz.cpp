// The C interface's JSON arguments: any text as the arguments of methods
// that need no database, and of an unknown method.
#include "dezozevo/dezozevo.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

dz_tester* tester() {
    static dz_tester* t = [] {
        // A component folder whose database does not exist: start-up fails
        // fast and the Tester still answers.
        static const std::string home = "/tmp/dz-cabi-fuzz-" + std::to_string(getpid());
        mkdir(home.c_str(), 0700);
        std::atexit([] { std::filesystem::remove_all(home); });
        FILE* f = std::fopen((home + "/DEZozevo.ini").c_str(), "w");
        std::fputs("[DATABASE]\nSERVER=sim:missing.db\nDATABASE=MES\n[LOG]\nLEVEL=0\n", f);
        std::fclose(f);
        setenv("DEZOZEVO_HOME", home.c_str(), 1);
        dz_tester* made = nullptr;
        dz_tester_create(&made);
        return made;
    }();
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kMethods[] = {"CalcErrCode", "getStation", "GetLastError", "FileExists", "NoSuchMethod"};
    if (size < 1 || !tester()) return 0;
    std::string args(reinterpret_cast<const char*>(data) + 1, size - 1);
    char* result = nullptr;
    dz_invoke(tester(), kMethods[data[0] % 5], args.c_str(), &result);
    dz_free(result);
    return 0;
}
