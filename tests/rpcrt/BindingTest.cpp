// String bindings and binding handles: composed and parsed without ever
// connecting, with the status the callers expect for each malformed text.
#include "TestSupport.h"
#include "rpcrt/Client.h"

namespace {

TEST(StringBinding, ComposeWritesTheUsualForm) {
  struct Case {
    const char *uuid, *protseq, *addr, *endpoint, *options, *expected;
  } cases[] = {
      {nullptr, "ncalrpc", nullptr, "EP", nullptr, "ncalrpc:[EP]"},
      {"6ceaf5e7-3a56-48e5-af7e-5b4149df30ec", "ncalrpc", nullptr, "EP", "Security=x",
       "6ceaf5e7-3a56-48e5-af7e-5b4149df30ec@ncalrpc:[EP,Security=x]"},
      {nullptr, "ncacn_ip_tcp", "host", "80", nullptr, "ncacn_ip_tcp:host[80]"},
      {nullptr, "ncalrpc", nullptr, nullptr, nullptr, "ncalrpc:"},
  };
  for (const auto& k : cases) {
    RPC_CSTR out = nullptr;
    ASSERT_EQ(RpcStringBindingComposeA((RPC_CSTR)k.uuid, (RPC_CSTR)k.protseq, (RPC_CSTR)k.addr, (RPC_CSTR)k.endpoint,
                                       (RPC_CSTR)k.options, &out),
              RPC_S_OK);
    EXPECT_STREQ(reinterpret_cast<char*>(out), k.expected);
    EXPECT_EQ(RpcStringFreeA(&out), RPC_S_OK);
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(RpcStringBindingComposeA(nullptr, (RPC_CSTR) "ncalrpc", nullptr, nullptr, nullptr, nullptr),
            RPC_S_INVALID_ARG);
}

TEST(StringBinding, ParseAcceptsOnlyLocalBindingsWithAnEndpoint) {
  const std::pair<const char*, RPC_STATUS> cases[] = {
      {"ncalrpc:[0C7B7F1E-8F43-4C52-9E4B-5E0A4C1D2B3A]", RPC_S_OK},
      {"ncalrpc:[EP,Security=Impersonation Dynamic False]", RPC_S_OK},
      {"6ceaf5e7-3a56-48e5-af7e-5b4149df30ec@ncalrpc:[EP]", RPC_S_OK},
      {"ncacn_ip_tcp:127.0.0.1[80]", RPC_S_PROTSEQ_NOT_SUPPORTED},
      {"NCALRPC:[EP]", RPC_S_PROTSEQ_NOT_SUPPORTED},
      {"ncalrpc:", RPC_S_INVALID_STRING_BINDING},
      {"ncalrpc:[]", RPC_S_INVALID_STRING_BINDING},
      {"ncalrpc:[EP]tail", RPC_S_INVALID_STRING_BINDING},
      {"ncalrpc:host[EP]", RPC_S_INVALID_STRING_BINDING},
      {"ncalrpc:[../x]", RPC_S_INVALID_STRING_BINDING},
      {"ncalrpc:[a/b]", RPC_S_INVALID_STRING_BINDING},
      {"not-a-uuid@ncalrpc:[EP]", RPC_S_INVALID_STRING_BINDING},
      {"", RPC_S_INVALID_STRING_BINDING},
  };
  for (const auto& [text, status] : cases) {
    handle_t h = reinterpret_cast<handle_t>(1);
    EXPECT_EQ(RpcBindingFromStringBindingA((RPC_CSTR)text, &h), status) << text;
    if (status == RPC_S_OK) {
      EXPECT_NE(h, nullptr);
      EXPECT_EQ(RpcBindingFree(&h), RPC_S_OK);
    }
    EXPECT_EQ(h, nullptr) << text;
  }
  handle_t h;
  EXPECT_EQ(RpcBindingFromStringBindingA(nullptr, &h), RPC_S_INVALID_STRING_BINDING);
  EXPECT_EQ(RpcBindingFromStringBindingA((RPC_CSTR) "ncalrpc:[EP]", nullptr), RPC_S_INVALID_ARG);
}

TEST(BindingHandle, SharesTheAssociationAndFreesOnce) {
  handle_t a = nullptr, b = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingA((RPC_CSTR) "ncalrpc:[SHARED]", &a), RPC_S_OK);
  ASSERT_EQ(RpcBindingFromStringBindingA((RPC_CSTR) "ncalrpc:[SHARED]", &b), RPC_S_OK);
  EXPECT_NE(a, b);
  EXPECT_EQ(kestrel::rpc::resolveBinding(a), kestrel::rpc::resolveBinding(b));
  handle_t copy = a;
  EXPECT_EQ(RpcBindingFree(&a), RPC_S_OK);
  EXPECT_EQ(RpcBindingFree(&copy), RPC_S_INVALID_BINDING);  // already gone
  EXPECT_EQ(RpcBindingFree(&b), RPC_S_OK);
  handle_t none = nullptr;
  EXPECT_EQ(RpcBindingFree(&none), RPC_S_INVALID_BINDING);
  EXPECT_EQ(RpcBindingFree(nullptr), RPC_S_INVALID_BINDING);
}

}  // namespace
