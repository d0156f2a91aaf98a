// `dezozevo-sim serve PATH [--host H] [--port N] [--max-connections N]
// [--login-timeout S] [--trace] [--tls-cert F --tls-key F [--tls-require]]`:
// prints "listening on HOST:PORT" and serves
// until SIGINT or SIGTERM. Returns the exit status.
#pragma once

#include <string>
#include <vector>

namespace dz::sim {

int serveCommand(const std::vector<std::string>& args);

}  // namespace dz::sim
