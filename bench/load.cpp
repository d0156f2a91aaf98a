// Load test of the simulator's listener: station processes, each with its
// own Tester over ODBC, cycle unit query and result upload against one
// listener on loopback while the network fails under them (dropped
// connections, answers past the command time-out, the listener restarted).
// With ResendOnNetErr on, every result must end up stored once or kept for
// resend. Every other station keeps its results in one queue shared by those
// stations, the rest each in its own.
//
//   dezozevo-load [--stations N] [--seconds S]      (./dz load)
//
// Prints calls per second, the faults the stations saw, results stored,
// kept, duplicated and lost, and the listener's descriptors and memory
// before and after. Exits 1 when a result was lost. Before the faults, the
// calls per second with the web view polled as its page polls it and
// without, in alternate windows of the same run.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "component/Tester.h"
#include "binding/drivers.h"
#include "bench/component.h"
#include "sim/internal.h"
#include "sim/sim.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kSerial = "SN24001-0003";

using dzbench::readFile;

// ---- one station ------------------------------------------------------------

// Cycles until `seconds` have passed: a unit query (which first sends a kept
// result), and when it succeeds a result upload. Then queries until the kept
// result is gone. Writes "save MARKER STATUS" and "query STATUS" lines.
int station(int id, double seconds) {
    dz::Tester t;
    std::ofstream report(std::string(std::getenv("DEZOZEVO_HOME")) + "/report.txt");
    std::string sample = readFile(std::string(std::getenv("DEZOZEVO_HOME")) + "/SampleResult.xml");
    auto until = Clock::now() + std::chrono::duration<double>(seconds);
    int n = 0;
    auto query = [&] {
        std::string info;
        int32_t s = t.GetUnitInfo(std::string("<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\" SerialNumber=\"") + kSerial + "\"/>", info);
        report << "query " << s << "\n";
        return s;
    };
    while (Clock::now() < until) {
        if (query() != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            continue;
        }
        std::string marker = "@ld-" + std::to_string(id) + "-" + std::to_string(++n) + "@";
        std::string doc = std::regex_replace(sample, std::regex("Operator=\"[^\"]*\""), "Operator=\"" + marker + "\"");
        int32_t s = t.SaveResult(dz::com::Variant(doc));
        report << "save " << marker << " " << s << "\n";
        report.flush();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (int i = 0; i < 50 && query() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return 0;
}

// ---- the driver ----------------------------------------------------------------

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, int stdoutFd = -1) {
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) envStore.push_back(*e);
    envStore.insert(envStore.end(), env.begin(), env.end());
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    for (const auto& e : envStore) envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&fa, stdoutFd, 1);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0)
        throw std::runtime_error("cannot start " + args[0]);
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

struct Listener {
    std::string program, db;
    int port = 0, webPort = 0;
    pid_t pid = -1;

    void start() {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe");
        pid = spawn({program, "serve", db, "--port", std::to_string(port), "--http", "0"}, {}, fds[1]);
        close(fds[1]);
        auto line = [&] {
            std::string l;
            char c;
            while (read(fds[0], &c, 1) == 1 && c != '\n') l += c;
            return l;
        };
        std::string listening = line(), web = line();
        close(fds[0]);
        if (listening.rfind("listening on ", 0) != 0 || web.rfind("web view on ", 0) != 0)
            throw std::runtime_error("the listener did not start: " + listening);
        port = std::stoi(listening.substr(listening.rfind(':') + 1));
        webPort = std::stoi(web.substr(web.rfind(':') + 1));
    }
    void stop() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    size_t files() const {
        size_t n = 0;
        for (auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) (void)e, ++n;
        return n;
    }
    long statusKb(const std::string& field) const {
        std::ifstream in("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
        return 0;
    }
    // Resident memory, and of it the anonymous part (heap and stacks; the
    // rest is program code and files).
    std::string figures() const {
        return std::to_string(files()) + " descriptors, " + std::to_string(statusKb("VmRSS") / 1024) +
               " MB resident (" + std::to_string(statusKb("RssAnon")) + " kB anonymous), " +
               std::to_string(statusKb("Threads")) + " threads";
    }
};

void setAnswers(const std::string& db, const std::string& json) { dz::sim::loadAnswers(db, json); }

// Polls the web view as its open page does (each second the journal, results,
// stations and faults since the last poll; every fifth the units) until `until`.
void pollPage(int port, Clock::time_point until) {
    httplib::Client web("127.0.0.1", port);
    long long lastCall = 0, lastResult = 0;
    // The newest id of a list, as the page keeps it.
    auto newest = [](const httplib::Result& r, const char* key, long long& last) {
        if (!r || r->status != 200) return;
        nlohmann::json list = nlohmann::json::parse(r->body, nullptr, false);
        if (list.is_array())
            for (const auto& e : list) last = std::max(last, e.value(key, 0LL));
    };
    for (int tick = 0; Clock::now() < until; ++tick) {
        auto next = Clock::now() + std::chrono::seconds(1);
        for (const char* p : {"/api/info", "/api/stations", "/api/faults"}) web.Get(p);
        newest(web.Get("/api/results?after=" + std::to_string(lastResult)), "test_id", lastResult);
        newest(web.Get("/api/calls?limit=300&after=" + std::to_string(lastCall)), "id", lastCall);
        if (tick % 5 == 0) web.Get("/api/units?serial=");
        std::this_thread::sleep_until(std::min(next, until));
    }
}

}  // namespace

int main(int argc, char** argv) {
    dz::binding::installDrivers();
    if (argc >= 4 && std::string(argv[1]) == "station") return station(std::stoi(argv[2]), std::stod(argv[3]));

    int stations = 50;
    double seconds = 40;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--stations") stations = std::stoi(argv[i + 1]);
        else if (a == "--seconds") seconds = std::stod(argv[i + 1]);
    }
    fs::path self = fs::read_symlink("/proc/self/exe");
    fs::path build = self.parent_path().parent_path();
    fs::path source = fs::path(DZ_SOURCE_DIR);
    fs::path work = fs::temp_directory_path() / ("dz-load-" + std::to_string(getpid()));
    fs::create_directories(work);

    dz::sim::InitOptions o;
    o.generation = 10;
    o.sample = true;
    std::string db = (work / "plant.db").string();
    dz::sim::create(db, o);
    Listener l{(build / "dezozevo-sim").string(), db};
    l.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string before = l.figures();

    std::vector<pid_t> pids;
    for (int i = 0; i < stations; ++i) {
        fs::path home = work / ("station" + std::to_string(i));
        fs::create_directories(home);
        dzbench::layOutComponent(home, "127.0.0.1," + std::to_string(l.port),
                                 {{"TimeOut=30", "TimeOut=2"}, {"ResendOnNetErr=no", "ResendOnNetErr=yes"}});
        fs::copy_file(source / "site" / "SampleResult.xml", home / "SampleResult.xml");
        const fs::path queue = i % 2 == 1 ? work / "shared" / "resend.xml" : home / "resend.xml";
        pids.push_back(spawn({self.string(), "station", std::to_string(i), std::to_string(seconds)},
                             {"DEZOZEVO_HOME=" + home.string(), "DEZOZEVO_RESEND_FILE=" + queue.string()}));
    }

    // Faults, each for a few seconds: uploads whose connection is dropped,
    // uploads answered past the 2-second time-out, the listener restarted.
    auto at = [&](double s) { std::this_thread::sleep_until(Clock::now() + std::chrono::duration<double>(s)); };
    auto start = Clock::now();
    auto phase = [&](double from) {
        at(std::chrono::duration<double>(start + std::chrono::duration<double>(seconds * from) - Clock::now()).count());
    };
    // Before the faults, windows without and with the page polling by turns;
    // the journal counts the calls each received.
    long long webCalls[2] = {0, 0};
    double webSeconds[2] = {0, 0};
    phase(0.05);
    for (int w = 0; w < 6; ++w) {
        bool polled = w % 2 == 1;
        long long from = dz::sim::nowMs();
        auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds * (0.1 + 0.05 * w)));
        if (polled) pollPage(l.webPort, end);
        phase(0.1 + 0.05 * w);
        long long to = dz::sim::nowMs();
        std::string counted = dz::sim::query(db, "SELECT COUNT(*) AS n FROM calls WHERE at >= '" + dz::sim::utcText(from) +
                                                     "' AND at < '" + dz::sim::utcText(to) + "'")[0];
        webCalls[polled] += nlohmann::json::parse(counted)["n"].get<long long>();
        webSeconds[polled] += (to - from) / 1000.0;
    }
    setAnswers(db, R"({"procedures": {"uspTestSaveResult": {"drop": true}}})");
    phase(0.45);
    setAnswers(db, "");
    phase(0.55);
    setAnswers(db, R"({"procedures": {"uspTestSaveResult": {"delay_ms": 5000}}})");
    phase(0.65);
    setAnswers(db, "");
    phase(0.75);
    l.stop();
    at(3);
    l.start();
    for (pid_t p : pids) waitpid(p, nullptr, 0);
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::seconds(7));  // idle threads end after 5 s
    std::string after = l.figures();
    l.stop();

    // Every result the stations sent, and where it ended up.
    std::map<std::string, int> status;
    long calls = 0, faults = 0;
    std::map<int, long> faultCodes;
    for (int i = 0; i < stations; ++i) {
        std::ifstream in(work / ("station" + std::to_string(i)) / "report.txt");
        std::string kind, a, b;
        while (in >> kind) {
            ++calls;
            int s = 0;
            if (kind == "save") {
                in >> a >> s;
                status[a] = s;
            } else {
                in >> s;
            }
            if (s >= 9001 && s <= 9003) ++faults, ++faultCodes[s];
        }
    }
    std::map<std::string, int> stored, kept;
    std::regex marker("@ld-[0-9]+-[0-9]+@");
    for (const std::string& r : dz::sim::results(db))
        for (std::sregex_iterator it(r.begin(), r.end(), marker), end; it != end; ++it) ++stored[it->str()];
    // Kept results: the queue file and its numbered entries, in each queue
    // folder; set aside ones in its rejected folder.
    std::map<std::string, int> setAside;
    std::vector<fs::path> queueFolders{work / "shared"};
    for (int i = 0; i < stations; ++i) queueFolders.push_back(work / ("station" + std::to_string(i)));
    auto scan = [&](const fs::path& folder, bool entries, std::map<std::string, int>& into) {
        std::error_code ec;
        for (auto& e : fs::directory_iterator(folder, ec)) {
            const std::string name = e.path().filename().string();
            if (!e.is_regular_file() || (entries && (name.rfind("resend.xml", 0) != 0 || name == "resend.xml.lock")))
                continue;
            std::string text = readFile(e.path());
            for (std::sregex_iterator it(text.begin(), text.end(), marker), end; it != end; ++it) ++into[it->str()];
        }
    };
    for (const fs::path& f : queueFolders) {
        scan(f, true, kept);
        scan(f / "rejected", false, setAside);
    }
    // Figures of the stations with their own queue [0] and of those sharing one [1].
    long ok = 0, refused = 0, keptCount = 0, lost[2] = {0, 0}, duplicated[2] = {0, 0}, sent[2] = {0, 0};
    for (auto& [m, s] : status) {
        const int group = std::stoi(m.substr(4)) % 2;
        bool net = s >= 9001 && s <= 9003;
        ++sent[group];
        if (s == 0) ++ok;
        else if (!net) ++refused;
        if (stored[m] > 1 || (stored[m] == 1 && kept[m] > 0)) ++duplicated[group];
        if (kept[m] > 0) ++keptCount;
        if ((s == 0 || net || s == 9998) && stored[m] == 0 && kept[m] == 0 && setAside[m] == 0) {
            ++lost[group];
            std::cerr << "lost: " << m << " (status " << s << ")\n";
        }
    }
    std::cout << stations << " stations, " << elapsed << " s: " << calls << " calls, " << long(calls / elapsed)
              << " calls per second\n";
    double without = webCalls[0] / webSeconds[0], with = webCalls[1] / webSeconds[1];
    std::cout << "web view: " << long(without) << " commands per second received without the page, " << long(with)
              << " with the page open and polling (" << std::showpos << long(std::lround((with / without - 1) * 100))
              << std::noshowpos << "%)\n";
    std::cout << "faults injected: uploads dropped, uploads past the time-out, one listener restart; seen by the "
                 "stations: "
              << faults << " (9001: " << faultCodes[9001] << ", 9002: " << faultCodes[9002]
              << ", 9003: " << faultCodes[9003] << ")\n";
    std::cout << "results: " << status.size() << " sent, " << ok << " stored at once, " << stored.size()
              << " stored in all, " << keptCount << " still kept for resend, " << setAside.size()
              << " set aside as rejected, " << refused << " refused, " << duplicated[0] + duplicated[1]
              << " stored twice, " << lost[0] + lost[1] << " lost\n";
    std::cout << "listener before: " << before << "; after: " << after << "\n";
    std::cout << "verdict: stations with their own queue: " << sent[0] << " results, " << lost[0] << " lost, "
              << duplicated[0] << " stored twice; stations sharing one queue: " << sent[1] << " results, " << lost[1]
              << " lost, " << duplicated[1] << " stored twice\n";
    fs::remove_all(work);
    return lost[0] + lost[1] == 0 ? 0 : 1;
}
