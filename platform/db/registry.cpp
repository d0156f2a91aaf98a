// Process-wide table of drivers by Data Source prefix.
//
// Prefixes match without regard to case. A prefix that ends in a letter or
// digit ("script:t1") serves only that very Data Source, so "script:t10" does
// not reach the driver of "script:t1"; one that ends in another character
// ("sim:") serves every Data Source that begins with it. The longest match wins.
//
// The table starts empty: whoever bundles drivers (the library's binding)
// registers them.
#include <cctype>
#include <mutex>

#include "platform/db/driver.h"
#include "platform/text.h"

namespace dz::db {

namespace {

struct Registry {
    std::mutex mu;
    std::map<std::string, std::pair<std::string, std::shared_ptr<Driver>>> byPrefix;  // lower-cased key
    std::function<std::shared_ptr<Driver>()> fallback;
};

// Never destroyed, so drivers that unregister during static destruction are safe.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

std::string lower(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = text::asciiLower(c);
    return r;
}

bool matches(const std::string& prefix, const std::string& source) {
    if (prefix.empty() || source.size() < prefix.size() || !text::iequals(source.substr(0, prefix.size()), prefix))
        return false;
    return source.size() == prefix.size() || !std::isalnum((unsigned char)prefix.back());
}

}  // namespace

void registerDriver(const std::string& prefix, std::shared_ptr<Driver> driver) {
    if (prefix.empty()) throw Error("A driver prefix must not be empty.");
    if (!driver) throw Error("A driver must not be null.");
    auto& r = registry();
    std::shared_ptr<Driver> old;  // released outside the lock
    std::lock_guard lock(r.mu);
    auto& slot = r.byPrefix[lower(prefix)];
    old = std::move(slot.second);
    slot = {prefix, std::move(driver)};
}

void unregisterDriver(const std::string& prefix) {
    auto& r = registry();
    std::shared_ptr<Driver> old;
    std::lock_guard lock(r.mu);
    auto it = r.byPrefix.find(lower(prefix));
    if (it == r.byPrefix.end()) return;
    old = std::move(it->second.second);
    r.byPrefix.erase(it);
}

void unregisterDriverIf(const std::string& prefix, const Driver* driver) {
    auto& r = registry();
    std::shared_ptr<Driver> old;
    std::lock_guard lock(r.mu);
    auto it = r.byPrefix.find(lower(prefix));
    if (it == r.byPrefix.end() || it->second.second.get() != driver) return;
    old = std::move(it->second.second);
    r.byPrefix.erase(it);
}

void setDefaultDriver(std::function<std::shared_ptr<Driver>()> factory) {
    auto& r = registry();
    std::lock_guard lock(r.mu);
    r.fallback = std::move(factory);
}

std::shared_ptr<Driver> driverFor(const ConnectionInfo& connection) {
    static const char* const kNoServer = "[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied.";
    std::string source = text::trim(connection.dataSource);
    std::function<std::shared_ptr<Driver>()> factory;
    {
        auto& r = registry();
        std::lock_guard lock(r.mu);
        const std::pair<std::string, std::shared_ptr<Driver>>* best = nullptr;
        for (const auto& [key, entry] : r.byPrefix)
            if (matches(entry.first, source) && (!best || entry.first.size() > best->first.size())) best = &entry;
        if (best) return best->second;
        factory = r.fallback;
    }
    std::shared_ptr<Driver> d = factory ? factory() : nullptr;
    if (!d) throw Error(kNoServer, FailureKind::NoServer);
    return d;
}

}  // namespace dz::db
