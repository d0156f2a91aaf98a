// `dezozevo-sim serve`: the simulator database as a SQL Server on the network.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "sim/main/serve.h"
#include "sim/tds/server.h"
#include "sim/web/view.h"

namespace dz::sim {

namespace {

const char* const kServeHelp = R"(usage: dezozevo-sim serve PATH [--host H] [--port N] [--max-connections N]
                          [--login-timeout S] [--trace]
                          [--tls-cert FILE --tls-key FILE [--tls-require]]
                          [--http PORT [--http-host H] [--http-token T]]

Serves the simulator database PATH as a SQL Server on the network (TDS 7.4),
so that stations and query tools reach it with an ordinary SQL Server
client: Data Source=H,N in the component's connection string.

  --host H   address to listen on (default 127.0.0.1)
  --port N   port (default 1433; 0 picks a free one)
  --max-connections N
             connections served at once (default 256); a login past them
             fails with "Could not connect because the maximum number of
             'N' user connections has already been reached."
  --login-timeout S
             seconds a new connection has to log in (default 30)
  --trace    print each login and request to standard error
  --tls-cert FILE, --tls-key FILE
             the server's certificate (PEM, with its chain) and private key:
             the listener then encrypts the login, or the whole connection
             when the client asks for it (dezozevo-sim-certs makes a
             throw-away authority and certificate)
  --tls-require
             encrypt every connection; a client that will not is refused
  --http PORT
             also serve the web view on PORT (0 picks a free one): units,
             results, the live journal, stations and fault schedules;
             prints "web view on http://HOST:PORT"
  --http-host H
             address of the web view (default 127.0.0.1). Beyond loopback,
             changing faults needs a token: --http-token T, or one made up
             and printed as "web view token: T" (open the page with ?token=T)
  --http-token T
             the token that changing faults needs

The first line printed is "listening on HOST:PORT". A login names a user of
the database (its password exactly) and, as Initial Catalog, the file's
database name or that of a simulator file "<stem>-*<ext>" beside it (the
sample's line-2 slave). Runs until interrupted (SIGINT or SIGTERM).
)";


}  // namespace

int serveCommand(const std::vector<std::string>& args) {
    tds::ServeOptions o;
    web::ViewOptions web;
    int httpPort = -1;  // no web view
    bool webFlags = false;
    std::string path;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            std::cout << kServeHelp;
            return 0;
        }
        bool valued = a == "--host" || a == "--port" || a == "--max-connections" || a == "--login-timeout" ||
                      a == "--tls-cert" || a == "--tls-key" || a == "--http" || a == "--http-host" ||
                      a == "--http-token";
        if (valued && i + 1 >= args.size()) {
            std::cerr << "dezozevo-sim serve: " << a << " needs a value\n\n" << kServeHelp;
            return 2;
        }
        if (a == "--host") {
            o.host = args[++i];
        } else if (a == "--http-host") {
            web.host = args[++i];
            webFlags = true;
        } else if (a == "--http-token") {
            web.token = args[++i];
            webFlags = true;
        } else if (a == "--port" || a == "--http") {
            const std::string& v = args[++i];
            char* end = nullptr;
            long p = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || p < 0 || p > 65535) {
                std::cerr << "dezozevo-sim serve: the port must be a number from 0 to 65535, not \"" << v << "\"\n";
                return 2;
            }
            (a == "--port" ? o.port : httpPort) = int(p);
        } else if (a == "--max-connections" || a == "--login-timeout") {
            const std::string& v = args[++i];
            char* end = nullptr;
            long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || n < 1 || n > 100000) {
                std::cerr << "dezozevo-sim serve: " << a << " must be a number from 1 to 100000, not \"" << v
                          << "\"\n";
                return 2;
            }
            (a == "--max-connections" ? o.maxConnections : o.loginTimeout) = int(n);
        } else if (a == "--tls-cert") {
            o.tlsCert = args[++i];
        } else if (a == "--tls-key") {
            o.tlsKey = args[++i];
        } else if (a == "--tls-require") {
            o.tlsRequire = true;
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a.rfind("--", 0) == 0) {
            std::cerr << "dezozevo-sim serve: unknown option " << a << "\n\n" << kServeHelp;
            return 2;
        } else if (path.empty()) {
            path = a;
        } else {
            std::cerr << "dezozevo-sim serve: unexpected argument \"" << a << "\"\n\n" << kServeHelp;
            return 2;
        }
    }
    if (path.empty()) {
        std::cerr << "dezozevo-sim serve: needs PATH\n\n" << kServeHelp;
        return 2;
    }
    if (httpPort < 0 && webFlags) {
        std::cerr << "dezozevo-sim serve: --http-host and --http-token go with --http PORT\n\n" << kServeHelp;
        return 2;
    }
    o.path = path;

    // Every thread inherits the blocked signals; this one waits for them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Each connection holds a socket and its database files open.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    tds::Server server(o);
    try {
        server.start();
    } catch (const std::exception& e) {
        std::cerr << "dezozevo-sim serve: " << e.what() << "\n";
        return 1;
    }
    std::cout << "listening on " << server.host() << ":" << server.port() << std::endl;
    std::optional<web::View> view;
    if (httpPort >= 0) {
        web.path = path;
        web.port = httpPort;
        view.emplace(web);
        try {
            view->start();
        } catch (const std::exception& e) {
            std::cerr << "dezozevo-sim serve: " << e.what() << "\n";
            server.stop();
            return 1;
        }
        std::cout << "web view on " << view->url() << std::endl;
        if (web.token.empty() && !view->token().empty()) std::cout << "web view token: " << view->token() << std::endl;
    }
    int sig = 0;
    sigwait(&stopSignals, &sig);
    if (view) view->stop();
    server.stop();
    return 0;
}

}  // namespace dz::sim
