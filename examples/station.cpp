// One station cycle in C++ against the installed library:
//   station SERIAL RESULT.xml
// The component folder (DEZozevo.ini, style sheets, schemas, log) is
// $DEZOZEVO_HOME. Exit status: 0 stored, 1 refused or failed.
#include <dezozevo/dezozevo.hpp>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

int failed(const dezozevo::Tester& t, const char* step, int32_t status) {
    const dezozevo::State s = t.state();
    std::cerr << step << ": status " << status;
    if (s.lastFailure && !s.lastFailure->description.empty()) std::cerr << " (" << s.lastFailure->description << ")";
    std::cerr << "\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: station SERIAL RESULT.xml\n";
        return 2;
    }
    const std::string serial = argv[1];
    std::ifstream file(argv[2], std::ios::binary);
    std::ostringstream result;
    result << file.rdbuf();
    if (!file) {
        std::cerr << "cannot read " << argv[2] << "\n";
        return 2;
    }

    dezozevo::Tester t;
    const dezozevo::State s = t.state();
    if (s.startupStatus != 0) return failed(t, "start-up", s.startupStatus);
    std::cout << "station " << t.getStation() << " on " << s.server << " (generation " << s.generation << ")\n";

    // May the unit be tested here now? Generation 10 asks the database
    // (CheckRoute); on 20 and later CheckRoute answers 0 without asking, so
    // mayTest reads the unit's status and next station from its unit
    // document. A unit on hold or due at another station is not tested and
    // no result is stored for it.
    std::string unitInfo;
    if (int32_t rc = t.mayTest(serial, "", unitInfo); rc != 0) return failed(t, "not cleared for test", rc);
    std::cout << "unit " << serial << ": " << unitInfo.size() << " bytes of unit data\n";

    // ... the test runs here and writes its result document ...

    if (int32_t rc = t.SaveResult(result.str()); rc != 0) return failed(t, "SaveResult", rc);
    const dezozevo::State after = t.state();
    std::cout << "result stored";
    if (after.testId) std::cout << ", test ID " << *after.testId;
    std::cout << "\n";
    return 0;
}
