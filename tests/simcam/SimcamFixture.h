// Helpers of the simcam tests: the driver loaded as HostProc loads it,
// instances with their own settings, and owners for what the driver hands
// over.
#pragma once

#include "DriverTable.h"
#include "simcam.h"
#include "testdriver_protocol.h"

#include <stdlib.h>
#include <turbojpeg.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace simcamtest {

inline constexpr const char* kPw = SIMCAM_DEFAULT_PASSWORD;

inline testdriver::DriverTable& D()
{
    static testdriver::DriverTable driver(SIMCAM_PATH);
    if (driver.handle == nullptr)
        throw std::runtime_error(dlerror());
    return driver;
}

// Creates instance `id` with extra SIMCAM_* settings (the configuration is
// taken when an instance is first used).
inline void Create(const char* id, std::initializer_list<std::pair<const char*, const char*>> env = {})
{
    for (const auto& [name, value] : env)
        setenv(name, value, 1);
    D().QueryNumberOfCamDyn(id, kPw);
    for (const auto& [name, value] : env)
        unsetenv(name);
}

// A block handed over by the driver, released through its DeleteBuffer.
struct Block {
    unsigned char* p = nullptr;
    int size = 0;
    Block() = default;
    Block(const Block&) = delete;
    ~Block() { D().DeleteBuffer(p); }
    std::string Bytes() const { return p != nullptr ? std::string(reinterpret_cast<char*>(p), size) : std::string(); }
};

struct Bstr {
    BSTR bs = nullptr;
    Bstr() = default;
    explicit Bstr(const std::string& utf8)
    {
        const std::u16string wide = testdriver::Utf8ToUtf16(utf8);
        bs = SysAllocStringLen(wide.data(), static_cast<unsigned>(wide.size()));
    }
    Bstr(const Bstr&) = delete;
    ~Bstr() { SysFreeString(bs); }
    std::string Text() const { return testdriver::Utf16ToUtf8(std::u16string_view(bs, SysStringLen(bs))); }
    bool Has(const std::string& part) const { return Text().find(part) != std::string::npos; }
};

// A decoded JPEG: its size, and its RGB pixels when asked for.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
};

inline Picture Decode(const Block& b, bool bPixels = false)
{
    tjhandle h = tjInitDecompress();
    Picture picture;
    int subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(h, b.p, static_cast<unsigned long>(b.size), &picture.width, &picture.height,
                            &subsampling, &colorspace) == 0 && bPixels) {
        picture.rgb.resize(static_cast<size_t>(picture.width) * picture.height * 3);
        if (tjDecompress2(h, b.p, static_cast<unsigned long>(b.size), picture.rgb.data(), picture.width, 0,
                          picture.height, TJPF_RGB, 0) != 0)
            picture.rgb.clear();
    }
    tjDestroy(h);
    return picture;
}

inline int Image(const char* id, int camera, Block& b)
{
    b.size = D().GetImage2(id, camera, &b.p);
    return b.size;
}

inline int Media(const char* id, int type, int device, int stream, Block& b)
{
    b.size = D().GetMediaDataBlock(id, type, device, stream, &b.p);
    return b.size;
}

} // namespace simcamtest
