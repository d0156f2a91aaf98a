// The simulator as a SQL Server on the network: a TDS 7.4 listener, with
// TLS when given a certificate, that answers every request through the
// simulator's engine.
//
//   tds::Server server({"/tmp/plant.db", "127.0.0.1", 0});
//   server.start();                      // throws std::runtime_error
//   connect to server.host():server.port() with any TDS client
//   server.stop();
//
// A login is checked against the users of the database it names (Initial
// Catalog: the file's own database name, or the database of a simulator
// file beside it named "<stem>-*<ext>", such as the sample's line-2 slave;
// none means the file itself). SQL batches run as the engine's text
// batches ("SET ..." and "USE db" are answered by the listener itself), RPC
// calls as stored procedures with their parameters; sp_executesql puts its
// parameters into the statement as literals. A canned "drop" answer closes
// the connection; an attention stops a "delay_ms" answer early.
//
// Bounds: before login a connection may send 64 KB messages and must log in
// within the login time-out; past the connection cap a login is refused
// with error 17809. A malformed request is answered with error 8016, a
// malformed packet or login closes its connection only.
#pragma once

#include <atomic>
#include <memory>
#include <string>

namespace dz::sim::tds {

struct ServeOptions {
    std::string path;               // the simulator database
    std::string host = "127.0.0.1";
    int port = 1433;                // 0: a free port
    bool trace = false;             // print each request to standard error
    int maxConnections = 256;       // open connections; more are refused
    int loginTimeout = 30;          // seconds a new connection has to log in
    // TLS: the server's certificate (PEM, with its chain) and key. With them
    // the listener encrypts what a client asks for (the login alone, or the
    // whole connection); `tlsRequire` encrypts every connection and refuses
    // a client that will not.
    std::string tlsCert, tlsKey;
    bool tlsRequire = false;
};

class Server {
public:
    explicit Server(ServeOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and starts accepting; throws std::runtime_error (a database
    // that is no simulator file, an address that cannot be bound).
    void start();
    // Closes the listening socket, lets the connections answer what they
    // received (a few seconds at most), closes them and waits for them.
    void stop();

    const std::string& host() const { return host_; }
    int port() const { return port_; }

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    std::string host_;
    int port_ = 0;
};

}  // namespace dz::sim::tds
