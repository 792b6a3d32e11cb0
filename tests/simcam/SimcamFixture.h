// Helpers of the simcam tests: the driver loaded as HostProc loads it,
// instances with their own settings, and owners for what the driver hands
// over.
#pragma once

#include "DriverTable.h"
#include "simcam.h"
#include "testdriver_protocol.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <turbojpeg.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace simcamtest {

using testdriver::DriverTable;

inline constexpr const char* kPw = SIMCAM_DEFAULT_PASSWORD;

inline DriverTable& D()
{
    static DriverTable driver(SIMCAM_PATH);
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
    Block& operator=(const Block&) = delete;
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
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(bs); }
    std::string Text() const { return testdriver::Utf16ToUtf8(std::u16string_view(bs, SysStringLen(bs))); }
};

struct JpegSize {
    int width = 0;
    int height = 0;
};

inline JpegSize DecodeHeader(const Block& b)
{
    tjhandle h = tjInitDecompress();
    JpegSize size;
    int subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(h, b.p, static_cast<unsigned long>(b.size), &size.width, &size.height, &subsampling,
                            &colorspace) != 0)
        size = {};
    tjDestroy(h);
    return size;
}

inline std::vector<unsigned char> DecodePixels(const Block& b, JpegSize size)
{
    std::vector<unsigned char> rgb(static_cast<size_t>(size.width) * size.height * 3);
    tjhandle h = tjInitDecompress();
    const int rc = tjDecompress2(h, b.p, static_cast<unsigned long>(b.size), rgb.data(), size.width, 0, size.height,
                                 TJPF_RGB, 0);
    tjDestroy(h);
    return rc == 0 ? rgb : std::vector<unsigned char>();
}

inline int Image(const char* id, int camera, Block& b)
{
    b.size = D().GetImage2(id, camera, &b.p);
    return b.size;
}

template <typename F>
inline int StatusOfChild(F body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        // Default dispositions, so that a fault ends the child as it would
        // end a process without sanitizer handlers.
        signal(SIGSEGV, SIG_DFL);
        signal(SIGABRT, SIG_DFL);
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

class SimcamTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(nullptr, D().handle) << dlerror(); }
};

} // namespace simcamtest
