// The simulator's web view: one page (units, results, the live journal,
// stations with their first-pass yield, fault schedules) and the JSON it
// reads, served over HTTP next to the listener.
//
//   web::View view({"/tmp/plant.db", "127.0.0.1", 0});
//   view.start();                       // throws std::runtime_error
//   open view.url() in a browser
//   view.stop();
//
// Bound to loopback unless told otherwise; on any other address changing
// the fault schedules needs the token (given, or made up at start).
#pragma once

#include <memory>
#include <string>

namespace dz::sim::web {

struct ViewOptions {
    std::string path;                // the simulator database
    std::string host = "127.0.0.1";
    int port = 0;                    // 0: a free port
    std::string token;               // needed to change faults; made up when bound beyond loopback
};

bool isLoopback(const std::string& host);

class View {
public:
    explicit View(ViewOptions options);
    ~View();
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    void start();
    void stop();

    int port() const { return port_; }
    std::string url() const;                          // http://HOST:PORT
    const std::string& token() const { return options_.token; }

    struct Impl;

private:
    ViewOptions options_;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

}  // namespace dz::sim::web
