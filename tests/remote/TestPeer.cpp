// The other process of the cross-process tests, telling its progress by
// single characters on its standard output:
//   kestrel-rpc-testpeer server <endpoint>
//       serves the TestHost; tells 'R' once listening; a "block" call tells
//       'B' and waits to be killed.
//   kestrel-rpc-testpeer client <endpoint>
//       loads a driver, tells 'R', and waits to be killed.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "TestHost.h"
#include "remote/ProxyClient.h"

namespace {
void tell(char c) {
  std::fputc(c, stdout);
  std::fflush(stdout);
}

int serve(const std::string& endpoint) {
  testhost::TestHost host;
  host.blockHook = [] {
    tell('B');
    for (;;) ::pause();
  };
  kestrel::remote::ProxyServer server(host, endpoint);
  server.start();
  tell('R');
  server.server().waitIdle(std::chrono::hours(24), std::chrono::hours(24));
  return 0;
}

int client(const std::string& endpoint) {
  handle_t binding = nullptr;
  if (RpcBindingFromStringBindingA((RPC_CSTR)("ncalrpc:[" + endpoint + "]").c_str(), &binding) != RPC_S_OK) return 2;
  if (!rpc_LoadDriver(binding, "client")) return 3;
  tell('R');
  for (;;) ::pause();
}
}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc == 3 ? argv[1] : "";
  try {
    if (mode == "server") return serve(argv[2]);
    if (mode == "client") return client(argv[2]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "test peer: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "usage: %s server|client ENDPOINT\n", argv[0]);
  return 64;
}
