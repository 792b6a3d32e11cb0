// The test host: neutral answers for every procedure, a few scripted
// behaviours selected by the first string argument, and counters that the
// tests read.
#pragma once

#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "remote/ProxyServer.h"

namespace testhost {

using namespace kestrel::remote;

inline char patternByte(size_t i) { return char(i * 7 + (i >> 12)); }
// A block shared by all GetVideoDataBlock("size") answers.
inline const char* patternBlock(size_t size) {
  static const std::vector<char> block = [] {
    std::vector<char> b(size_t(9) << 20);
    for (size_t i = 0; i < b.size(); ++i) b[i] = patternByte(i);
    return b;
  }();
  if (size > block.size()) throw std::bad_alloc();
  return block.data();
}
// What PutMediaDataBlock answers: a hash of every byte that arrived.
inline int32_t hashOf(const char* p, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) h = (h ^ uint8_t(p[i])) * 16777619u;
  return int32_t(h);
}

class TestHost : public ProxyInterface {
 public:
  std::unique_ptr<DriverContext> LoadDriver(const kestrel::rpc::CallerInfo&, const char*) override {
    return std::make_unique<DriverContext>();
  }

  int32_t OpenConnection(DriverContext&, const char* szServer, const char*, int32_t, int32_t) override {
    std::string_view cmd(szServer);
    if (cmd == "throw") throw std::runtime_error("driver failed");
    if (cmd == "badalloc") throw std::bad_alloc();
    if (cmd.substr(0, 6) == "fault:") throw kestrel::rpc::RpcError(uint32_t(std::stoul(std::string(cmd.substr(6)))));
    std::lock_guard g(mu_);
    return ++calls_;
  }

  int32_t GetVideoDataBlock(DriverContext&, const char* szServer, int32_t nCamNo, int32_t& nSize,
                            OutBytes& block) override {
    std::string_view cmd(szServer);
    nSize = cmd == "negative" ? -1 : nCamNo;  // -1: a block whose size cannot be sent
    if (cmd != "null")
      block.adopt(patternBlock(size_t(cmd == "negative" ? 16 : nCamNo)), [this] {
        std::lock_guard g(mu_);
        ++released_;
      });
    return nCamNo;
  }

  int32_t PutMediaDataBlock(DriverContext&, const char*, int32_t, int32_t, int32_t, int32_t nLength, const char* pBytes,
                            int32_t& nCode) override {
    nCode = nLength;
    return hashOf(pBytes, size_t(nLength));
  }

  int32_t QueryPresetPositions(DriverContext&, const char* szServer, int32_t, int32_t nPresetMax, int32_t nMaxStrLen,
                               OutStringArray& names) override {
    std::string_view cmd(szServer);  // "fill": at the bound; "over": one beyond; "short": too few
    names.resize(size_t(nPresetMax) - (cmd == "short" ? 1 : 0));
    std::string text(size_t(nMaxStrLen - (cmd == "over" ? 0 : 1)), 'p');
    for (size_t i = 0; i < names.size(); ++i) names.set(i, text.c_str());
    return nPresetMax;
  }

  struct Seen {
    int calls, released;
  };
  Seen seen() {
    std::lock_guard g(mu_);
    return {calls_, released_};
  }

 private:
  std::mutex mu_;
  int calls_ = 0, released_ = 0;
};

}  // namespace testhost
