#include "support/station.h"
#include "support/listener.h"

#include "component/Tester.h"
#include "component/Context.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace dz::test {

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "dztest-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& content) const { writeFile(file(name), content); }
std::string TempDir::read(const std::string& name) const { return readFile(file(name)); }
bool TempDir::exists(const std::string& name) const { return fs::exists(file(name)); }

const char* const kResultSchema =
    "<xs:schema xmlns:xs='http://www.w3.org/2001/XMLSchema' targetNamespace='urn:SaveResult-schema'>"
    "<xs:element name='Result'><xs:complexType><xs:sequence>"
    "<xs:element name='DUT' minOccurs='0' maxOccurs='unbounded'><xs:complexType><xs:sequence>"
    "<xs:element name='Note' type='xs:string' minOccurs='0'/></xs:sequence>"
    "<xs:attribute name='ID' type='xs:string'/><xs:attribute name='STATUS' type='xs:string'/>"
    "</xs:complexType></xs:element></xs:sequence></xs:complexType></xs:element></xs:schema>";

std::string sitePath(const std::string& name) {
    const char* src = std::getenv("DZ_SOURCE_DIR");
    // __FILE__ may be relative to the build folder (a compiler cache makes it so).
    const fs::path root = src && *src ? fs::path(src) : (buildDir() / fs::path(__FILE__)).parent_path() / "../..";
    const fs::path path = root / "site" / name;
    if (!fs::is_regular_file(path)) throw std::runtime_error("no site file " + path.string());
    return path.lexically_normal().string();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> params(const db::ScriptedDriver::Call& call) {
    static const std::map<int, std::string> types = {{db::adInteger, "Integer"},     {db::adDouble, "Double"},
                                                     {db::adDBTimeStamp, "DBTimeStamp"}, {db::adVarChar, "VarChar"},
                                                     {db::adLongVarChar, "LongVarChar"}, {db::adVarWChar, "VarWChar"}};
    const char* const directions[] = {"?", "In", "Out", "InOut", "Return"};
    std::vector<std::string> out;
    for (const auto& p : call.parameters) {
        const auto& v = p.value;
        const std::string value = v.isNull() ? "Null" : v.isText() ? "'" + v.toText() + "'" : v.toText();
        const int d = int(p.direction);
        out.push_back(p.name + " " + types.at(p.type) + " " + (d >= 1 && d <= 4 ? directions[d] : "?") + " " +
                      std::to_string(p.size) + " " + value);
    }
    return out;
}

std::string command(const db::ScriptedDriver::Call& call) {
    return call.text + (call.type == db::adCmdStoredProc ? " StoredProc " : " Text ") + std::to_string(call.timeout) +
           (call.namedParameters ? " named" : "");
}

std::vector<db::ScriptedDriver::Call> callsTo(const db::ScriptedDriver& db, const std::string& text) {
    std::vector<db::ScriptedDriver::Call> out;
    for (auto& c : db.calls())
        if (c.text.find(text) != std::string::npos) out.push_back(std::move(c));
    return out;
}

namespace {
std::string uniqueName() {
    static std::atomic<int> n{0};
    return "t" + std::to_string(getpid()) + "_" + std::to_string(++n);
}
}  // namespace

Station::Station(const std::string& extraIni, int logLevel) {
    server = "script:" + uniqueName();
    db = db::ScriptedDriver::install(server.substr(7));
    home.write("DEZozevo.ini",
               "[DATABASE]\nUSER=u\nPWD=p\nSERVER=" + server + "\nDATABASE=db\nTimeOut=30\n"
               "[STATION]\nSTATION=ST1\n[LOG]\nLEVEL=" + std::to_string(logLevel) + "\n" + extraIni);
    if (const char* h = std::getenv("DEZOZEVO_HOME")) {
        hadHome_ = true;
        previousHome_ = h;
    }
    setenv("DEZOZEVO_HOME", home.path().c_str(), 1);
}

Station::~Station() {
    if (hadHome_)
        setenv("DEZOZEVO_HOME", previousHome_.c_str(), 1);
    else
        unsetenv("DEZOZEVO_HOME");
}

void Station::serveGeneration(int n, bool noSlave) {
    db->on("fsLanguage", db::ScriptedDriver::Answer::rowsOf({""}, {{n}}));
    if (noSlave) db->on("uspGetSlaveInfo", db::ScriptedDriver::Answer::rowsOf({"Error", "MasterSlaveSolution"}, {{0, 0}}));
}

void Station::installSiteFile(const std::string& name) { home.write(name, readFile(sitePath(name))); }

std::string Station::log() const {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char day[16];
    std::strftime(day, sizeof day, "%Y%m%d", &tm);
    return home.read(std::string("DEZozevo") + day + ".log");
}

std::vector<std::string> Station::messages() const {
    std::vector<std::string> out;
    const std::string all = log();
    for (size_t pos = 0, end; pos < all.size(); pos = end + 2) {
        end = std::min(all.find("\r\n", pos), all.size());
        const std::string line = all.substr(pos, end - pos);
        const size_t sep = line.find("  ");
        out.push_back(sep == std::string::npos ? line : line.substr(sep + 2));
    }
    return out;
}

bool Station::logged(const std::string& message) const {
    const auto all = messages();
    return std::find(all.begin(), all.end(), message) != all.end();
}

void Station::clearLog() const {
    for (const auto& e : fs::directory_iterator(home.path()))
        if (e.path().filename().string().rfind("DEZozevo2", 0) == 0) fs::remove(e.path());
}

std::string Station::masterConnectString() const {
    return "Provider=SQLOLEDB;Password=p;User ID=u;Initial Catalog=db;Data Source=" + server +
           ";Network Library=DBMSSOCN;";
}

std::unique_ptr<Tester> startTester(const Station& st) {
    threadContext() = Context{};
    auto t = std::make_unique<Tester>();
    st.db->clearCalls();
    st.clearLog();
    return t;
}

Started::Started(int generation, const std::string& extraIni, const Prepare& prepare, int logLevel) {
    restart(generation, extraIni, prepare, logLevel);
}

void Started::restart(int generation, const std::string& extraIni, const Prepare& prepare, int logLevel) {
    t.reset();
    st.reset();
    st = std::make_unique<Station>(extraIni, logLevel);
    st->serveGeneration(generation);
    if (prepare) prepare(*st);
    t = startTester(*st);
}

}  // namespace dz::test
