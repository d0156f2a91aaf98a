// The web view's server: the page and its JSON over cpp-httplib.
#include "sim/web/view.h"

#include <arpa/inet.h>

#include <fstream>
#include <map>
#include <functional>
#include <stdexcept>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "platform/text.h"
#include "sim/internal.h"
#include "sim/sim.h"

namespace dz::sim::web {

namespace {

using json = nlohmann::json;

#include "sim/web/page.inc"  // kPage: the page, compiled in

json cell(const Stmt& q, int c) {
    db::Value v = q.value(c);
    if (v.isNull()) return nullptr;
    if (v.isInteger()) return std::get<long long>(v.raw());
    if (v.isDouble()) return std::get<double>(v.raw());
    return std::get<std::string>(v.raw());
}

json rows(Stmt& q) {
    json out = json::array();
    while (q.step()) {
        json r = json::object();
        for (int c = 0; c < q.columns(); ++c) r[q.columnName(c)] = cell(q, c);
        out.push_back(std::move(r));
    }
    return out;
}

long long number(const httplib::Request& req, const char* name, long long def) {
    if (!req.has_param(name)) return def;
    std::string v = req.get_param_value(name);
    char* end = nullptr;
    long long n = std::strtoll(v.c_str(), &end, 10);
    if (v.empty() || *end || n < 0) throw std::invalid_argument(std::string(name) + " must be a whole number");
    return n;
}

json units(const std::string& path, const std::string& serial) {
    Stmt q(connect(path),
           "SELECT u.serial, w.number AS work_order, w.part_number AS part, w.revision, u.status, u.step, "
           "(SELECT group_concat(station, ', ') FROM (SELECT station FROM route_steps r "
           " WHERE r.route = w.route AND r.step = u.step ORDER BY station)) AS next_station, u.updated "
           "FROM units u LEFT JOIN work_orders w ON w.id = u.work_order_id "
           "WHERE u.serial LIKE ? ESCAPE '\\' ORDER BY u.serial LIMIT 1000");
    std::string like;
    for (char c : serial) {
        if (c == '%' || c == '_' || c == '\\') like += '\\';
        like += c;
    }
    q.with("%" + like + "%");
    json r = rows(q);
    for (json& u : r)
        if (u["status"] != "ACTIVE" && u["status"] != "TEMP") u["next_station"] = nullptr;
    return r;
}

json results(const std::string& path, long long after) {
    Stmt q(connect(path),
           "SELECT test_id, received, serial, station, status, procedure, length(document) AS bytes FROM results "
           "WHERE test_id > ? ORDER BY test_id DESC LIMIT 500");
    q.with(after);
    return rows(q);
}

std::optional<json> result(const std::string& path, long long id) {
    Stmt q(connect(path),
           "SELECT test_id, received, serial, station, status, procedure, enter_time, exit_time, document "
           "FROM results WHERE test_id = ?");
    q.with(id);
    json r = rows(q);
    if (r.empty()) return std::nullopt;
    return r[0];
}

// Stations seen in the journal (calls, errors, the last call) and in the
// results (first-pass yield: units whose first result there passed).
json stations(const std::string& path) {
    sqlite3* db = connect(path);
    std::map<std::string, json> byName;
    auto slot = [&](const std::string& name) -> json& {
        for (auto& [k, v] : byName)
            if (dz::text::iequals(k, name)) return v;
        json& j = byName[name];
        j = {{"station", name}, {"calls", 0}, {"errors", 0}, {"last_call", nullptr}, {"units", 0}, {"first_pass", 0},
             {"fpy", nullptr}};
        return j;
    };
    {
        Stmt q(db,
               "SELECT station, COUNT(*), SUM(error IS NOT NULL OR coalesce(status, 0) <> 0), MAX(at) FROM calls "
               "WHERE station IS NOT NULL GROUP BY station COLLATE NOCASE");
        while (q.step()) {
            json& j = slot(q.text(0));
            j["calls"] = q.integer(1);
            j["errors"] = q.integer(2);
            j["last_call"] = q.text(3);
        }
    }
    {
        Stmt q(db,
               "WITH firsts AS (SELECT r.station, ru.serial, MIN(r.test_id) AS first FROM results r "
               " JOIN result_units ru ON ru.test_id = r.test_id WHERE r.station IS NOT NULL "
               " GROUP BY r.station COLLATE NOCASE, ru.serial) "
               "SELECT f.station, COUNT(*), SUM(r.status = 'PASS') FROM firsts f JOIN results r ON r.test_id = f.first "
               "GROUP BY f.station COLLATE NOCASE");
        while (q.step()) {
            json& j = slot(q.text(0));
            j["units"] = q.integer(1);
            j["first_pass"] = q.integer(2);
            j["fpy"] = q.integer(1) ? double(q.integer(2)) / double(q.integer(1)) : 0.0;
        }
    }
    json out = json::array();
    for (auto& [k, v] : byName) out.push_back(v);
    return out;
}

json parsedLines(const std::vector<std::string>& lines) {
    json out = json::array();
    for (const auto& l : lines) out.push_back(json::parse(l));
    return out;
}

std::string randomToken() {
    std::ifstream in("/dev/urandom", std::ios::binary);
    unsigned char b[16] = {};
    in.read(reinterpret_cast<char*>(b), sizeof b);
    if (!in) throw std::runtime_error("cannot read /dev/urandom for the web view's token");
    static const char* const hex = "0123456789abcdef";
    std::string t;
    for (unsigned char c : b) t += hex[c >> 4], t += hex[c & 15];
    return t;
}

}  // namespace

bool isLoopback(const std::string& host) {
    if (host == "localhost" || host == "::1") return true;
    in_addr a{};
    return inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

struct View::Impl {
    httplib::Server server;
    std::thread thread;
};

View::View(ViewOptions options) : options_(std::move(options)) {}

View::~View() { stop(); }

std::string View::url() const {
    std::string h = options_.host.find(':') != std::string::npos ? "[" + options_.host + "]" : options_.host;
    return "http://" + h + ":" + std::to_string(port_);
}

void View::start() {
    if (impl_) throw std::runtime_error("the web view is already running");
    if (options_.port < 0 || options_.port > 65535) throw std::runtime_error("the web view's port must be 0 to 65535");
    if (options_.token.empty() && !isLoopback(options_.host)) options_.token = randomToken();
    auto impl = std::make_unique<Impl>();
    httplib::Server& s = impl->server;
    const std::string path = options_.path;
    const std::string token = options_.token;

    // Each answer is JSON; a bad request reads {"error": ...} with 400.
    using Handler = std::function<json(const httplib::Request&, httplib::Response&)>;
    auto api = [](Handler h) {
        return [h](const httplib::Request& req, httplib::Response& res) {
            res.set_header("Cache-Control", "no-store");
            try {
                json body = h(req, res);
                res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
            } catch (const std::invalid_argument& e) {
                res.status = 400;
                res.set_content(json({{"error", e.what()}}).dump(), "application/json");
            } catch (const std::exception& e) {
                res.status = 500;
                res.set_content(json({{"error", e.what()}}).dump(-1, ' ', false, json::error_handler_t::replace),
                                "application/json");
            }
        };
    };
    // Changes come as JSON or DELETE (so another site's page cannot send
    // them without the browser asking first), with the token when one is set.
    auto changing = [token](const httplib::Request& req) {
        if (!token.empty() && req.get_header_value("X-Token") != token)
            throw std::runtime_error("forbidden: changing faults needs the token given at start");
    };
    auto guarded = [api, changing](Handler h) {
        return [api, changing, h](const httplib::Request& req, httplib::Response& res) {
            try {
                changing(req);
            } catch (const std::exception& e) {
                res.status = 403;
                res.set_content(json({{"error", e.what()}}).dump(), "application/json");
                return;
            }
            api(h)(req, res);
        };
    };

    s.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(kPage, sizeof kPage - 1, "text/html; charset=utf-8");
    });
    s.Get("/api/info", api([path, token](const httplib::Request&, httplib::Response&) {
              return json{{"path", path}, {"generation", generation(path)}, {"token_required", !token.empty()},
                          {"now", utcText(nowMs())}};
          }));
    s.Get("/api/units", api([path](const httplib::Request& req, httplib::Response&) {
              return units(path, req.get_param_value("serial"));
          }));
    s.Get("/api/results", api([path](const httplib::Request& req, httplib::Response&) {
              return results(path, number(req, "after", 0));
          }));
    s.Get(R"(/api/results/(\d+))", api([path](const httplib::Request& req, httplib::Response& res) {
              std::optional<json> r = result(path, std::stoll(req.matches[1]));
              if (!r) {
                  res.status = 404;
                  return json{{"error", "no such result"}};
              }
              return *r;
          }));
    s.Get("/api/calls", api([path](const httplib::Request& req, httplib::Response&) {
              JournalFilter f;
              f.afterId = number(req, "after", 0);
              f.since = req.get_param_value("since");
              f.procedure = req.get_param_value("procedure");
              f.station = req.get_param_value("station");
              f.limit = size_t(number(req, "limit", 500));
              try {
                  return parsedLines(journal(path, f));
              } catch (const std::runtime_error& e) {
                  throw std::invalid_argument(e.what());
              }
          }));
    s.Get("/api/stations", api([path](const httplib::Request&, httplib::Response&) { return stations(path); }));
    s.Get("/api/faults", api([path](const httplib::Request&, httplib::Response&) { return parsedLines(faults(path)); }));
    s.Post("/api/faults", guarded([path](const httplib::Request& req, httplib::Response& res) {
               if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0)
                   throw std::invalid_argument("send the schedule as application/json");
               try {
                   json added = json::parse(addFault(path, req.body));
                   res.status = 201;
                   return added;
               } catch (const std::runtime_error& e) {
                   throw std::invalid_argument(e.what());
               }
           }));
    s.Delete(R"(/api/faults/(\d+))", guarded([path](const httplib::Request& req, httplib::Response& res) {
                 int n = clearFaults(path, std::stoll(req.matches[1]));
                 if (!n) res.status = 404;
                 return json{{"removed", n}};
             }));
    s.Delete("/api/faults", guarded([path](const httplib::Request&, httplib::Response&) {
                 return json{{"removed", clearFaults(path)}};
             }));

    generation(path);  // a file that is no simulator database fails here
    int port = options_.port == 0 ? s.bind_to_any_port(options_.host) : (s.bind_to_port(options_.host, options_.port)
                                                                              ? options_.port
                                                                              : -1);
    if (port < 0)
        throw std::runtime_error("the web view cannot listen on " + options_.host + ":" + std::to_string(options_.port));
    port_ = port;
    impl->thread = std::thread([&srv = impl->server] { srv.listen_after_bind(); });
    impl_ = std::move(impl);
}

void View::stop() {
    if (!impl_) return;
    impl_->server.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_.reset();
}

}  // namespace dz::sim::web
