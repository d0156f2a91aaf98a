// The C interface of the library (include/dezozevo/dezozevo.h): Tester
// handles bound to their creating thread, calls by name with JSON arguments
// and answers, the Tester's own state, the thread's last error, and the
// component object entry points.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <utility>

#include "component/Tester.h"
#include "dezozevo/dezozevo.h"
#include "binding/cabi.h"
#include "binding/call.h"
#include "binding/dispatch.h"
#include "binding/drivers.h"
#include "binding/unitcheck.h"
#include "platform/log/sink.h"
#include "platform/text.h"

struct dz_tester {
    std::unique_ptr<dz::Tester> tester;
    std::thread::id owner;
};

namespace {

namespace fs = std::filesystem;
using ojson = nlohmann::ordered_json;
using dz::com::Variant;

thread_local std::string lastError;

// Handles alive, so that a stale or doubled release is refused, not a crash.
std::mutex liveMutex;
std::set<dz_tester*>& live() {
    static auto* s = new std::set<dz_tester*>;  // never destroyed: callers may outlive static destruction
    return *s;
}

std::atomic<long> serverLocks{0};
std::atomic<long> factoryRefs{0};

int fail(int code, std::string description) {
    lastError = std::move(description);
    return code;
}

// Runs `f`, turning every escaping exception into a status and a description.
template <typename F>
int guarded(F&& f) {
    lastError.clear();
    try {
        return f();
    } catch (const dz::com::CallError& e) {
        switch (e.kind()) {
            case dz::com::CallError::UnknownMethod: return fail(DZ_E_UNKNOWN_METHOD, e.what());
            case dz::com::CallError::UnknownArgument: return fail(DZ_E_UNKNOWN_ARGUMENT, e.what());
            default: return fail(DZ_E_BAD_ARGUMENT, e.what());
        }
    } catch (const dz::com::Error& e) {
        return fail(DZ_E_FAILED, e.what());
    } catch (const std::bad_alloc&) {
        return fail(DZ_E_INTERNAL, "Out of memory");
    } catch (const std::exception& e) {
        return fail(DZ_E_INTERNAL, e.what());
    } catch (...) {
        return fail(DZ_E_INTERNAL, "Unexpected failure");
    }
}

// JSON written straight into the malloc'd answer the caller frees: a long
// text is then neither copied again nor grown through a string.
class MallocOut : public nlohmann::detail::output_adapter_protocol<char> {
public:
    explicit MallocOut(size_t capacity) : cap_(std::max<size_t>(capacity, 64)) {
        p_ = static_cast<char*>(std::malloc(cap_));
        if (!p_) throw std::bad_alloc();
    }
    ~MallocOut() override { std::free(p_); }
    void write_character(char c) override {
        if (n_ + 1 >= cap_) grow(1);
        p_[n_++] = c;
    }
    void write_characters(const char* s, std::size_t len) override {
        if (n_ + len >= cap_) grow(len);
        std::memcpy(p_ + n_, s, len);
        n_ += len;
    }
    char* release() {
        p_[n_] = '\0';
        return std::exchange(p_, nullptr);
    }

private:
    void grow(size_t len) {
        size_t cap = std::max(cap_ * 2, n_ + len + 1);
        char* q = static_cast<char*>(std::realloc(p_, cap));
        if (!q) throw std::bad_alloc();
        p_ = q;
        cap_ = cap;
    }
    char* p_ = nullptr;
    size_t n_ = 0, cap_;
};

// The text of j.dump() with invalid UTF-8 replaced, in a malloc'd buffer; `hint`
// is the expected size. Written straight into the caller's buffer through the
// library's own serializer (its detail namespace: dump() offers no output
// target), which saves a copy of answers of many megabytes; the cli test and
// the fuzz target check it.
char* dumpedOut(const ojson& j, size_t hint) {
    auto out = std::make_shared<MallocOut>(hint);
    nlohmann::detail::serializer<ojson> s(out, ' ', ojson::error_handler_t::replace);
    s.dump(j, false, false, 0);
    return out->release();
}

// The Tester's own state as dz_state() hands it out.
ojson stateObject(const dz::TesterState& s) {
    ojson j;
    j["startupStatus"] = s.startupStatus;
    j["generation"] = s.generation;
    j["revision"] = s.revision;
    j["schema"] = s.generation == 0 ? 0 : s.generation + s.revision;
    j["server"] = s.server;
    j["database"] = s.database;
    j["station"] = s.station;
    j["folder"] = s.folder;
    j["iniFile"] = s.iniFile;
    j["iniFound"] = s.iniFound;
    if (s.lastFailure) {
        ojson diagnostics = ojson::array();
        for (const auto& d : s.lastFailure->diagnostics)
            diagnostics.push_back(ojson{{"sqlstate", d.state}, {"native", d.native}, {"message", d.message}});
        j["lastFailure"] = ojson{{"status", s.lastFailure->status},
                                 {"description", s.lastFailure->description},
                                 {"diagnostics", std::move(diagnostics)}};
    } else {
        j["lastFailure"] = nullptr;
    }
    j["testId"] = s.testId ? ojson(*s.testId) : ojson(nullptr);
    j["queue"] = {{"path", s.queue.path},
                  {"kept", s.queue.kept},
                  {"oldestSeconds", s.queue.oldestSeconds ? ojson(*s.queue.oldestSeconds) : ojson(nullptr)},
                  {"rejected", s.queue.rejected}};
    return j;
}

Variant fromJson(const std::string& name, const ojson& j) {
    switch (j.type()) {
        case ojson::value_t::null: return Variant(dz::com::Null{});
        case ojson::value_t::string: return Variant(j.get<std::string>());
        case ojson::value_t::boolean: return Variant(j.get<bool>());
        case ojson::value_t::number_integer: return Variant((long long)j.get<int64_t>());
        case ojson::value_t::number_unsigned: {
            const uint64_t u = j.get<uint64_t>();
            return u <= (uint64_t)LLONG_MAX ? Variant((long long)u) : Variant((double)u);
        }
        case ojson::value_t::number_float: return Variant(j.get<double>());
        default:
            throw dz::com::CallError(dz::com::CallError::BadArgument,
                                     "Argument " + (name.empty() ? std::string("value") : name) +
                                         ": a JSON " + j.type_name() + " is not a value");
    }
}

ojson toJson(Variant&& v) {
    struct V {
        ojson operator()(const dz::com::Empty&) const { return nullptr; }
        ojson operator()(const dz::com::Null&) const { return nullptr; }
        ojson operator()(std::string& s) const { return std::move(s); }
        ojson operator()(long long n) const { return n; }
        ojson operator()(double d) const { return d; }
        ojson operator()(bool b) const { return b; }
        ojson operator()(const dz::com::Object&) const { return nullptr; }
    };
    return std::visit(V{}, v.raw());
}

std::vector<dz::com::Argument> parseArgs(const char* argsJson) {
    std::vector<dz::com::Argument> args;
    if (!argsJson || !*argsJson) return args;
    ojson j;
    try {
        j = ojson::parse(argsJson);
    } catch (const std::exception& e) {
        throw dz::com::CallError(dz::com::CallError::BadArgument,
                                 std::string("The arguments are not valid JSON: ") + e.what());
    }
    if (j.is_null()) return args;
    if (j.is_object()) {
        for (auto it = j.begin(); it != j.end(); ++it) args.push_back({it.key(), fromJson(it.key(), it.value())});
    } else if (j.is_array()) {
        for (const auto& v : j) args.push_back({"", fromJson("", v)});
    } else {
        throw dz::com::CallError(dz::com::CallError::BadArgument,
                                 "The arguments must be a JSON object (by name) or array (by position)");
    }
    return args;
}

// Looks up a live handle and checks its thread.
int checkHandle(dz_tester* t) {
    {
        std::lock_guard lock(liveMutex);
        if (!live().count(t)) return fail(DZ_E_INVALID_CALL, "The Tester is not alive (released or never created)");
    }
    if (t->owner != std::this_thread::get_id())
        return fail(DZ_E_WRONG_THREAD,
                    "The Tester belongs to another thread: a Tester is used and released only on the thread "
                    "that created it");
    return DZ_OK;
}

int createTester(dz_tester** out) {
    if (!out) return fail(DZ_E_INVALID_CALL, "The pointer for the new Tester is NULL");
    *out = nullptr;
    auto h = std::make_unique<dz_tester>();
    h->owner = std::this_thread::get_id();
    {
        // Reserve the slot first, so that nothing can fail after the Tester exists.
        std::lock_guard lock(liveMutex);
        live().insert(h.get());
    }
    try {
        dz::binding::installDrivers();
        h->tester = std::make_unique<dz::Tester>();
    } catch (...) {
        std::lock_guard lock(liveMutex);
        live().erase(h.get());
        throw;
    }
    *out = h.release();
    return DZ_OK;
}

// ---- registration ----------------------------------------------------------

std::string libraryPath() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&DllRegisterServer), &info) || !info.dli_fname)
        throw std::runtime_error("The library's own path is not known");
    std::error_code ec;
    fs::path p = fs::canonical(info.dli_fname, ec);
    return ec ? fs::absolute(info.dli_fname).string() : p.string();
}

fs::path registrationFile() {
    auto env = [](const char* name) -> std::string {
        const char* v = std::getenv(name);
        return v ? v : "";
    };
    fs::path dir;
    if (!env("DEZOZEVO_CLASSES").empty())
        dir = env("DEZOZEVO_CLASSES");
    else if (!env("XDG_DATA_HOME").empty())
        dir = fs::path(env("XDG_DATA_HOME")) / "dezozevo" / "classes";
    else if (!env("HOME").empty())
        dir = fs::path(env("HOME")) / ".local" / "share" / "dezozevo" / "classes";
    else
        throw std::runtime_error("No folder for the registration: neither DEZOZEVO_CLASSES, XDG_DATA_HOME nor HOME is set");
    return dir / DZ_PROGID_TESTER;
}

// The Library= value of a registration file, "" when there is none.
std::string registeredLibrary(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("Library=", 0) == 0) return line.substr(8);
    }
    return "";
}

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return a == b || fs::equivalent(a, b, ec);
}

// ---- class factory -----------------------------------------------------------

uint32_t factoryAddRef(dz_class_factory*) { return (uint32_t)++factoryRefs; }

uint32_t factoryRelease(dz_class_factory*) {
    long n = factoryRefs.load();
    while (n > 0 && !factoryRefs.compare_exchange_weak(n, n - 1)) {
    }
    return n > 0 ? (uint32_t)(n - 1) : 0;
}

int32_t factoryCreateInstance(dz_class_factory*, dz_tester** out) {
    const int rc = guarded([&] { return createTester(out); });
    if (rc == DZ_OK) return DZ_S_OK;
    if (rc == DZ_E_INVALID_CALL) return DZ_HR_E_POINTER;
    return DZ_HR_E_OUTOFMEMORY;
}

int32_t factoryLockServer(dz_class_factory*, int32_t lock) {
    lastError.clear();
    if (lock) {
        ++serverLocks;
    } else {
        long n = serverLocks.load();
        while (n > 0 && !serverLocks.compare_exchange_weak(n, n - 1)) {
        }
    }
    return DZ_S_OK;
}

dz_class_factory theFactory = {factoryAddRef, factoryRelease, factoryCreateInstance, factoryLockServer};

}  // namespace

namespace dz::cabi {

void clearError() { lastError.clear(); }
int fail(int code, std::string description) { return ::fail(code, std::move(description)); }
int checkHandle(dz_tester* handle) {
    if (!handle) return ::fail(DZ_E_INVALID_CALL, "The Tester is NULL");
    return ::checkHandle(handle);
}
Tester& of(dz_tester* handle) { return *handle->tester; }
int caught() {
    return guarded([]() -> int { throw; });
}

Owned copy(std::string_view text) {
    Owned out(static_cast<char*>(std::malloc(text.size() + 1)));
    if (!out) throw std::bad_alloc();
    std::memcpy(out.get(), text.data(), text.size());
    out.get()[text.size()] = '\0';
    return out;
}

}  // namespace dz::cabi

extern "C" {

DZ_API int dz_tester_create(dz_tester** tester) {
    return guarded([&] { return createTester(tester); });
}

DZ_API int dz_tester_release(dz_tester* tester) {
    return guarded([&] {
        if (!tester) return DZ_OK;
        if (int rc = checkHandle(tester)) return rc;
        {
            std::lock_guard lock(liveMutex);
            live().erase(tester);
        }
        delete tester;
        return DZ_OK;
    });
}

DZ_API int dz_invoke(dz_tester* tester, const char* method, const char* args_json, char** result_json) {
    if (result_json) *result_json = nullptr;
    return guarded([&] {
        if (!tester || !method || !result_json)
            return fail(DZ_E_INVALID_CALL, "dz_invoke needs a Tester, a method name and a pointer for the answer");
        if (int rc = checkHandle(tester)) return rc;
        const auto args = parseArgs(args_json);
        auto done = dz::com::invoke(*tester->tester, method, args);
        size_t hint = 256;
        for (const auto& a : done.args)
            if (a.value.isText()) hint += std::get<std::string>(a.value.raw()).size() * 9 / 8 + 64;
        if (done.result.isText()) hint += std::get<std::string>(done.result.raw()).size() * 9 / 8;
        ojson out;
        out["method"] = done.method->name;
        out["result"] = toJson(std::move(done.result));
        ojson named = ojson::object();
        for (auto& a : done.args) named[a.name] = toJson(std::move(a.value));
        out["args"] = std::move(named);  // by-reference arguments only
        *result_json = dumpedOut(out, hint);
        return DZ_OK;
    });
}

DZ_API int dz_methods(char** methods_json) {
    if (methods_json) *methods_json = nullptr;
    return guarded([&] {
        if (!methods_json) return fail(DZ_E_INVALID_CALL, "dz_methods needs a pointer for the answer");
        ojson list = ojson::array();
        for (const auto& m : dz::com::methods()) {
            ojson args = ojson::array();
            for (const auto& a : m.args)
                args.push_back({{"name", a.name}, {"type", dz::com::typeName(a.type)}, {"byRef", a.byRef},
                                {"optional", a.optional}});
            list.push_back({{"name", m.name},
                            {"result", dz::com::typeName(m.result)},
                            {"business", m.business},
                            {"args", std::move(args)}});
        }
        *methods_json = dumpedOut(list, 4096);
        return DZ_OK;
    });
}

DZ_API int dz_state(dz_tester* tester, char** state_json) {
    if (state_json) *state_json = nullptr;
    return guarded([&] {
        if (!tester || !state_json)
            return fail(DZ_E_INVALID_CALL, "dz_state needs a Tester and a pointer for the answer");
        if (int rc = checkHandle(tester)) return rc;
        *state_json = dumpedOut(stateObject(tester->tester->state()), 512);
        return DZ_OK;
    });
}

DZ_API int dz_resend(dz_tester* tester, int32_t* status) {
    return guarded([&] {
        if (!tester || !status) return fail(DZ_E_INVALID_CALL, "dz_resend needs a Tester and a pointer for the status");
        if (int rc = checkHandle(tester)) return rc;
        dz::Tester& t = *tester->tester;
        *status = dz::binding::runMethod(t, true, [&] { return t.Resend(); });
        return DZ_OK;
    });
}

DZ_API int dz_may_test(dz_tester* tester, const char* strUnitSN, const char* strStation, char** strUnitInfo,
                       int32_t* status) {
    if (strUnitInfo) *strUnitInfo = nullptr;
    return guarded([&] {
        if (!tester || !strUnitSN || !status)
            return fail(DZ_E_INVALID_CALL, "dz_may_test needs a Tester, a serial number and a pointer for the status");
        if (int rc = checkHandle(tester)) return rc;
        std::string info;
        const int32_t verdict = dz::unitcheck::mayTest(*tester->tester, strUnitSN, strStation ? strStation : "", info);
        if (strUnitInfo) *strUnitInfo = dz::cabi::copy(info).release();
        *status = verdict;
        return DZ_OK;
    });
}

DZ_API int dz_set_log_handler(dz_log_handler handler, void* context) {
    return guarded([&] {
        if (!dz::logsink::set(handler, context))
            return fail(DZ_E_INVALID_CALL, "dz_set_log_handler cannot be called from inside the log handler");
        return DZ_OK;
    });
}

DZ_API const char* dz_last_error(void) { return lastError.c_str(); }

DZ_API void dz_free(char* text) { std::free(text); }

DZ_API int32_t DllRegisterServer(void) {
    int32_t hr = DZ_S_OK;
    const int rc = guarded([&] {
        const fs::path file = registrationFile();
        const std::string lib = libraryPath();
        std::error_code ec;
        fs::create_directories(file.parent_path(), ec);
        if (ec) return fail(DZ_E_FAILED, "Cannot create " + file.parent_path().string() + ": " + ec.message());
        // Written beside and renamed over, so a reader never sees half a file.
        const fs::path tmp = file.string() + ".tmp" + std::to_string(getpid());
        {
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            out << "[" << DZ_PROGID_TESTER << "]\n"
                << "CLSID=" << DZ_CLSID_TESTER << "\n"
                << "Library=" << lib << "\n"
                << "ThreadingModel=Apartment\n";
            out.close();
            if (!out) {
                fs::remove(tmp, ec);
                return fail(DZ_E_FAILED, "Cannot write " + tmp.string());
            }
        }
        fs::rename(tmp, file, ec);
        if (ec) {
            std::error_code ignored;
            fs::remove(tmp, ignored);
            return fail(DZ_E_FAILED, "Cannot write " + file.string() + ": " + ec.message());
        }
        return DZ_OK;
    });
    if (rc != DZ_OK) hr = DZ_HR_SELFREG_E_CLASS;
    return hr;
}

DZ_API int32_t DllUnregisterServer(void) {
    int32_t hr = DZ_S_OK;
    const int rc = guarded([&] {
        const fs::path file = registrationFile();
        std::error_code ec;
        if (!fs::exists(file, ec)) return DZ_OK;
        const std::string other = registeredLibrary(file);
        if (!other.empty() && !sameFile(other, libraryPath())) {
            hr = DZ_S_FALSE;
            return fail(DZ_E_FAILED, "DEZozevo.Tester is registered to another library (" + other + "); left as it is");
        }
        if (!fs::remove(file, ec) && ec)
            return fail(DZ_E_FAILED, "Cannot remove " + file.string() + ": " + ec.message());
        return DZ_OK;
    });
    if (rc != DZ_OK && hr == DZ_S_OK) hr = DZ_HR_SELFREG_E_CLASS;
    return hr;
}

DZ_API int32_t DllGetClassObject(const char* clsid, const char* iid, void** factory) {
    lastError.clear();
    if (!factory) return fail(DZ_HR_E_POINTER, "DllGetClassObject needs a pointer for the factory");
    *factory = nullptr;
    if (!clsid || !(dz::text::iequals(clsid, DZ_PROGID_TESTER) || dz::text::iequals(clsid, DZ_CLSID_TESTER)))
        return fail(DZ_HR_CLASS_E_CLASSNOTAVAILABLE,
                    std::string("Class not available: ") + (clsid ? clsid : "(null)"));
    if (iid && *iid && !dz::text::iequals(iid, "IClassFactory") && !dz::text::iequals(iid, DZ_IID_CLASSFACTORY))
        return fail(DZ_HR_E_NOINTERFACE, std::string("No such interface: ") + iid);
    factoryAddRef(&theFactory);
    *factory = &theFactory;
    return DZ_S_OK;
}

DZ_API int32_t DllCanUnloadNow(void) {
    lastError.clear();
    std::lock_guard lock(liveMutex);
    return live().empty() && serverLocks.load() == 0 && factoryRefs.load() == 0 ? DZ_S_OK : DZ_S_FALSE;
}

}  // extern "C"
