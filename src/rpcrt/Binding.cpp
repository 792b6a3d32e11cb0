// String bindings and binding handles.
#include <cstring>
#include <string>
#include <string_view>

#include "rpcrt/Client.h"
#include "rpcrt/Rpc.h"

using namespace kestrel::rpc;

namespace {

std::string_view text(RPC_CSTR s) {
  return s ? std::string_view(reinterpret_cast<const char*>(s)) : std::string_view();
}

// Endpoints name a file in the socket directory.
bool validEndpoint(std::string_view e) {
  if (e.empty() || e.size() > 255 || e == "." || e == "..") return false;
  for (char c : e)
    if (c == '/' || c == '[' || c == ']' || c == ',' || c == '@' || c == ':' || static_cast<unsigned char>(c) < 0x20)
      return false;
  return true;
}

// Parses "[uuid@]ncalrpc:[endpoint[,options]]" and returns the endpoint.
RPC_STATUS parseStringBinding(std::string_view s, std::string& endpoint) {
  size_t colon = s.find(':');
  size_t at = s.find('@');
  if (at != std::string_view::npos && (colon == std::string_view::npos || at < colon)) {
    Uuid ignored;
    if (!Uuid::parse(s.substr(0, at), ignored)) return RPC_S_INVALID_STRING_BINDING;
    s.remove_prefix(at + 1);
    colon = s.find(':');
  }
  if (colon == std::string_view::npos || colon == 0) return RPC_S_INVALID_STRING_BINDING;
  if (s.substr(0, colon) != "ncalrpc") return RPC_S_PROTSEQ_NOT_SUPPORTED;
  std::string_view rest = s.substr(colon + 1);
  // ncalrpc is local: no network address; and without an endpoint mapper
  // the endpoint is required.
  if (rest.size() < 3 || rest.front() != '[' || rest.back() != ']') return RPC_S_INVALID_STRING_BINDING;
  std::string_view inside = rest.substr(1, rest.size() - 2);
  std::string_view ep = inside.substr(0, inside.find(','));
  if (!validEndpoint(ep)) return RPC_S_INVALID_STRING_BINDING;
  endpoint.assign(ep);
  return RPC_S_OK;
}

}  // namespace

RPC_STATUS RpcStringBindingComposeA(RPC_CSTR ObjUuid, RPC_CSTR ProtSeq, RPC_CSTR NetworkAddr, RPC_CSTR Endpoint,
                                    RPC_CSTR Options, RPC_CSTR* StringBinding) {
  if (!StringBinding) return RPC_S_INVALID_ARG;
  *StringBinding = nullptr;
  try {
    std::string s;
    if (!text(ObjUuid).empty()) (s += text(ObjUuid)) += '@';
    (s += text(ProtSeq)) += ':';
    s += text(NetworkAddr);
    if (!text(Endpoint).empty() || !text(Options).empty()) {
      (s += '[') += text(Endpoint);
      if (!text(Options).empty()) (s += ',') += text(Options);
      s += ']';
    }
    auto* out = new unsigned char[s.size() + 1];
    std::memcpy(out, s.c_str(), s.size() + 1);
    *StringBinding = out;
    return RPC_S_OK;
  } catch (const std::exception&) {
    return RPC_S_OUT_OF_MEMORY;
  }
}

RPC_STATUS RpcBindingFromStringBindingA(RPC_CSTR StringBinding, RPC_BINDING_HANDLE* Binding) {
  if (!Binding) return RPC_S_INVALID_ARG;
  *Binding = nullptr;
  if (!StringBinding) return RPC_S_INVALID_STRING_BINDING;
  try {
    std::string endpoint;
    RPC_STATUS st = parseStringBinding(text(StringBinding), endpoint);
    if (st != RPC_S_OK) return st;
    *Binding = newBindingHandle(associationFor(endpoint));
    return RPC_S_OK;
  } catch (const std::exception&) {
    return RPC_S_OUT_OF_MEMORY;
  }
}

RPC_STATUS RpcStringFreeA(RPC_CSTR* String) {
  if (!String) return RPC_S_INVALID_ARG;
  delete[] * String;
  *String = nullptr;
  return RPC_S_OK;
}

RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* Binding) {
  if (!Binding || !freeBindingHandle(*Binding)) return RPC_S_INVALID_BINDING;
  *Binding = nullptr;
  return RPC_S_OK;
}

void RpcSsDestroyClientContext(void** ContextHandle) {
  if (!ContextHandle) return;
  destroyContextHandle(*ContextHandle);
  *ContextHandle = nullptr;
}
