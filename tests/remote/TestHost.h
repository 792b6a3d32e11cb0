// The test host: the echo model for every procedure, plus a few scripted
// behaviours selected by the first string argument, and counters that the
// tests wait on (never sleep on).
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "EchoModel.h"

namespace testhost {

using namespace kestrel::remote;

// A block shared by all GetVideoDataBlock("size") answers; large enough for
// the biggest block the tests ask for.
const char* patternBlock(size_t size);
inline char patternByte(size_t i) { return char(i * 7 + (i >> 12)); }

class TestHost : public echo::host::EchoInterface {
 public:
  // "block": entered -> hook -> returns. The default hook waits on gate().
  std::function<void()> blockHook = [this] { gateWait(); };

  std::unique_ptr<DriverContext> LoadDriver(const kestrel::rpc::CallerInfo&,
                                            const char* szDriverName) override {
    if (std::string_view(szDriverName) == "null") return nullptr;
    return std::make_unique<echo::host::EchoContext>(echo::idOfDriver(szDriverName));
  }

  void UnloadDriver(std::unique_ptr<DriverContext>) override {
    std::lock_guard g(mu_);
    if (activeBlocks_ > 0) unloadOverlapped_ = true;
    ++unloads_;
    cv_.notify_all();
  }

  void Rundown(std::unique_ptr<DriverContext>) override {
    std::lock_guard g(mu_);
    ++rundowns_;
    cv_.notify_all();
  }

  int32_t OpenConnection(DriverContext& ctx, const char* szServer, const char* szPassword,
                         int32_t bShowHalfsize, int32_t nCamNo) override {
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
    if (cmd == "await-rundowns") {
      std::unique_lock lk(mu_);
      cv_.wait(lk, [&] { return rundowns_ >= nCamNo; });
      return rundowns_;
    }
    if (cmd == "throw") throw std::runtime_error("driver failed");
    if (cmd == "badalloc") throw std::bad_alloc();
    if (cmd.substr(0, 6) == "fault:")
      throw kestrel::rpc::RpcError(uint32_t(std::stoul(std::string(cmd.substr(6)))));
    calls_.fetch_add(1);
    return EchoInterface::OpenConnection(ctx, szServer, szPassword, bShowHalfsize, nCamNo);
  }

  int32_t GetVideoDataBlock(DriverContext& ctx, const char* szServer, int32_t nCamNo,
                            int32_t& nSize, OutBytes& block) override {
    std::string_view cmd(szServer);
    if (cmd == "size") {
      nSize = nCamNo;
      block.adopt(patternBlock(size_t(nCamNo)), [this] { released_.fetch_add(1); });
      return nCamNo;
    }
    if (cmd == "null") {
      nSize = nCamNo;
      return 0;
    }
    if (cmd == "negative") {  // a block whose size cannot be sent
      nSize = -1;
      block.adopt(patternBlock(16), [this] { released_.fetch_add(1); });
      return 0;
    }
    return EchoInterface::GetVideoDataBlock(ctx, szServer, nCamNo, nSize, block);
  }

  int32_t QueryPresetPositions(DriverContext& ctx, const char* szServer, int32_t nCamNo,
                               int32_t nPresetMax, int32_t nMaxStrLen,
                               OutStringArray& names) override {
    std::string_view cmd(szServer);
    if (cmd == "fill") {  // every entry exactly at the bound
      names.resize(size_t(nPresetMax));
      std::string text(size_t(nMaxStrLen - 1), 'p');
      for (int32_t i = 0; i < nPresetMax; ++i) names.set(size_t(i), text.c_str());
      return nPresetMax;
    }
    if (cmd == "over") {  // one entry over the bound: cannot be sent
      names.resize(size_t(nPresetMax));
      std::string text(size_t(nMaxStrLen), 'p');
      names.set(0, text.c_str());
      return 0;
    }
    if (cmd == "short") {  // fewer entries than asked for: cannot be sent
      names.resize(size_t(nPresetMax) - 1);
      return 0;
    }
    return EchoInterface::QueryPresetPositions(ctx, szServer, nCamNo, nPresetMax, nMaxStrLen,
                                               names);
  }

  // ---- what the tests observe ----
  void gateWait() {
    std::unique_lock lk(mu_);
    cv_.wait(lk, [&] { return gateOpen_; });
  }
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
  int unloads() {
    std::lock_guard g(mu_);
    return unloads_;
  }
  int rundowns() {
    std::lock_guard g(mu_);
    return rundowns_;
  }
  bool unloadOverlapped() {
    std::lock_guard g(mu_);
    return unloadOverlapped_;
  }
  int calls() const { return calls_.load(); }
  int released() const { return released_.load(); }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool gateOpen_ = false;
  int entered_ = 0;
  int activeBlocks_ = 0;
  int unloads_ = 0;
  int rundowns_ = 0;
  bool unloadOverlapped_ = false;
  std::atomic<int> calls_{0};
  std::atomic<int> released_{0};
};

inline const char* patternBlock(size_t size) {
  static const std::vector<char> block = [] {
    std::vector<char> b(size_t(17) << 20);
    for (size_t i = 0; i < b.size(); ++i) b[i] = patternByte(i);
    return b;
  }();
  if (size > block.size()) throw std::bad_alloc();
  return block.data();
}

}  // namespace testhost
