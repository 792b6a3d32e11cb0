// The server of the interoperability check (tests/rpcrt/impacket_check.py):
//   kestrel-rpc-testpeer server <endpoint>
// serves the TestHost and tells 'R' on its standard output once listening.
#include <cstdio>
#include <string>

#include "TestHost.h"

int main(int argc, char** argv) {
  if (argc != 3 || std::string(argv[1]) != "server") {
    std::fprintf(stderr, "usage: %s server ENDPOINT\n", argv[0]);
    return 64;
  }
  try {
    testhost::TestHost host;
    kestrel::remote::ProxyServer server(host, argv[2]);
    server.start();
    std::fputc('R', stdout);
    std::fflush(stdout);
    server.server().waitIdle(std::chrono::hours(24), std::chrono::hours(24));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "test peer: %s\n", e.what());
    return 1;
  }
  return 0;
}
