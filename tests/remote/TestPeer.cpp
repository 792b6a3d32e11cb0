// The other process of the cross-process tests.
//   kestrel-rpc-testpeer server <endpoint>
//       serves the TestHost; tells 'R' once listening; a "block" call tells
//       'B' and waits for a byte on fd 4.
//   kestrel-rpc-testpeer client <endpoint>
//       loads a driver, tells 'R', and waits to be killed.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "TestHost.h"
#include "remote/ProxyClient.h"
#include "remote/ProxyServer.h"

namespace {
constexpr int kTell = 3;
constexpr int kHear = 4;

void tell(char c) {
  while (::write(kTell, &c, 1) < 0 && errno == EINTR) {
  }
}
char hear() {
  char c = 0;
  while (::read(kHear, &c, 1) < 0 && errno == EINTR) {
  }
  return c;
}

int serve(const std::string& endpoint) {
  testhost::TestHost host;
  host.blockHook = [] {
    tell('B');
    hear();
  };
  kestrel::remote::ProxyServer server(host, endpoint);
  server.start();
  tell('R');
  server.server().waitIdle(std::chrono::hours(24), std::chrono::hours(24));
  return 0;
}

int client(const std::string& endpoint) {
  std::string text = "ncalrpc:[" + endpoint + "]";
  handle_t binding = nullptr;
  if (RpcBindingFromStringBindingA((RPC_CSTR)text.c_str(), &binding) != RPC_S_OK) return 2;
  RpcDriverCtx ctx = rpc_LoadDriver(binding, "client");
  if (!ctx) return 3;
  tell('R');
  hear();  // killed meanwhile
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s server|client ENDPOINT\n", argv[0]);
    return 64;
  }
  try {
    std::string mode = argv[1];
    if (mode == "server") return serve(argv[2]);
    if (mode == "client") return client(argv[2]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "test peer: %s\n", e.what());
    return 1;
  }
  return 64;
}
