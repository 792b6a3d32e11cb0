// libkestrel_blocks.so: a driver that hands over video blocks of a size the
// instance id chooses ("<anything>#block=N": N bytes, at most 256 MiB), so
// that `kestrel bench` can measure the transport at sizes a camera does not
// make. Each block is a fresh copy of a fixed pattern, as a real driver's
// copy of a frame would be. Other exports answer as absent ones do.
#include <kestrel/kestrel.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr size_t kMaxBlock = size_t{256} << 20;

size_t BlockSize(const char* szServer)
{
    const char* szAt = szServer != nullptr ? std::strstr(szServer, "#block=") : nullptr;
    if (szAt == nullptr)
        return 0;
    const unsigned long long n = std::strtoull(szAt + 7, nullptr, 10);
    return n <= kMaxBlock ? static_cast<size_t>(n) : 0;
}

// The block's bytes: a 64 KiB pattern, copied over and over.
void Fill(unsigned char* pBlock, size_t nSize)
{
    static const std::array<unsigned char, 65536> pattern = [] {
        std::array<unsigned char, 65536> bytes{};
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<unsigned char>(i * 131 + 7);
        return bytes;
    }();
    for (size_t nAt = 0; nAt < nSize; nAt += pattern.size())
        std::memcpy(pBlock + nAt, pattern.data(), std::min(pattern.size(), nSize - nAt));
}

}  // namespace

extern "C" {

void SetFeatureSet(const char*) {}

void DeleteBuffer(unsigned char* p) { delete[] p; }

int QueryIsPTZDeviceDyn(const char*, const char*) { return 0; }

int GetVideoDataBlock(const char* szServer, int, unsigned char** ppBlock)
{
    const size_t nSize = BlockSize(szServer);
    if (ppBlock == nullptr || nSize == 0)
        return 0;
    unsigned char* pBlock = new (std::nothrow) unsigned char[nSize];
    if (pBlock == nullptr)
        return 0;
    Fill(pBlock, nSize);
    *ppBlock = pBlock;
    return static_cast<int>(nSize);
}

}  // extern "C"
