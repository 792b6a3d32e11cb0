// The test host: neutral answers for every procedure, a few scripted
// behaviours selected by the first string argument, and counters that the
// tests wait on (never sleep on).
#pragma once

#include <condition_variable>
#include <functional>
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
  // "block": entered -> hook -> returns 1. The default hook waits on the gate.
  std::function<void()> blockHook = [this] {
    std::unique_lock lk(mu_);
    cv_.wait(lk, [&] { return gateOpen_; });
  };

  std::unique_ptr<DriverContext> LoadDriver(const kestrel::rpc::CallerInfo&, const char* szDriverName) override {
    if (std::string_view(szDriverName) == "null") return nullptr;
    return std::make_unique<DriverContext>();
  }
  void UnloadDriver(std::unique_ptr<DriverContext>) override {
    std::lock_guard g(mu_);
    if (activeBlocks_ > 0) unloadOverlapped_ = true;
    ++unloads_;
  }
  void Rundown(std::unique_ptr<DriverContext>) override {
    std::lock_guard g(mu_);
    ++rundowns_;
    cv_.notify_all();
  }

  int32_t OpenConnection(DriverContext&, const char* szServer, const char*, int32_t, int32_t) override {
    std::string_view cmd(szServer);
    if (cmd == "block") {
      {
        std::lock_guard g(mu_);
        ++activeBlocks_;
        ++entered_;
        cv_.notify_all();
      }
      blockHook();
      std::lock_guard g(mu_);
      --activeBlocks_;
      return 1;
    }
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

  // ---- what the tests observe ----
  void openGate() {
    std::lock_guard g(mu_);
    gateOpen_ = true;
    cv_.notify_all();
  }
  void waitEntered(int n) {
    std::unique_lock lk(mu_);
    cv_.wait(lk, [&] { return entered_ >= n; });
  }
  void waitRundowns(int n) {
    std::unique_lock lk(mu_);
    cv_.wait(lk, [&] { return rundowns_ >= n; });
  }
  struct Seen {
    int calls, released, unloads, rundowns;
    bool unloadOverlapped;
  };
  Seen seen() {
    std::lock_guard g(mu_);
    return {calls_, released_, unloads_, rundowns_, unloadOverlapped_};
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool gateOpen_ = false, unloadOverlapped_ = false;
  int entered_ = 0, activeBlocks_ = 0, unloads_ = 0, rundowns_ = 0, calls_ = 0, released_ = 0;
};

}  // namespace testhost
