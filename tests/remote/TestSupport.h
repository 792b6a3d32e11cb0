// Fixtures shared by the runtime and interface tests: a private socket
// directory per test, bindings and an in-process server.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "TestHost.h"
#include "remote/ProxyClient.h"
#include "remote/ProxyServer.h"
#include "rpcrt/Status.h"

namespace testsupport {

// The status of the RpcError that `f` raises (0 if none).
template <class F>
uint32_t statusOf(F&& f) {
  try {
    f();
  } catch (const kestrel::rpc::RpcError& e) {
    return e.status();
  }
  return 0;
}

class RpcDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kestrel-rpc-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ::setenv("KESTREL_RPC_DIR", dir_.c_str(), 1);
    endpoint_ = kestrel::rpc::Uuid::random().text();
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  handle_t bindTo(const std::string& endpoint) {
    handle_t h = nullptr;
    EXPECT_EQ(RpcBindingFromStringBindingA((RPC_CSTR)("ncalrpc:[" + endpoint + "]").c_str(), &h), RPC_S_OK);
    return h;
  }

  std::string dir_;
  std::string endpoint_;
};

// A TestHost served in this process (the server stops before the host goes).
struct LocalServer {
  explicit LocalServer(const std::string& endpoint, kestrel::rpc::ServerOptions o = {})
      : server(host, (o.endpoint = endpoint, o)) {
    server.start();
  }
  testhost::TestHost host;
  kestrel::remote::ProxyServer server;
};

}  // namespace testsupport
