// The simulated camera served by HostProc: its frames arrive whole, decode
// as JPEG pictures of the configured size, and change from call to call.
#include <turbojpeg.h>

#include <set>
#include <string>
#include <vector>

#include "HostProcHarness.h"
#include "simcam.h"

namespace hostproc_test {
namespace {

using Simcam = HostProcTest;

struct Picture {
    int nWidth = 0;
    int nHeight = 0;
    bool bDecoded = false;
};

// Reads the header and decodes the whole picture, so that a truncated or
// damaged block fails.
Picture Decode(const char* pJpeg, int32_t nSize) {
    Picture picture;
    tjhandle hDecoder = tjInitDecompress();
    if (hDecoder == nullptr) return picture;
    const auto* pBytes = reinterpret_cast<const unsigned char*>(pJpeg);
    int nSubsampling = 0, nColorspace = 0;
    if (tjDecompressHeader3(hDecoder, pBytes, static_cast<unsigned long>(nSize), &picture.nWidth, &picture.nHeight,
                            &nSubsampling, &nColorspace) == 0) {
        std::vector<unsigned char> pixels(static_cast<size_t>(picture.nWidth) * static_cast<size_t>(picture.nHeight) * 3);
        picture.bDecoded = tjDecompress2(hDecoder, pBytes, static_cast<unsigned long>(nSize), pixels.data(),
                                         picture.nWidth, 0, picture.nHeight, TJPF_RGB, 0) == 0;
    }
    tjDestroy(hDecoder);
    return picture;
}

// One frame of a block procedure, checked and kept as bytes.
template <typename TCall>
std::string Frame(TCall&& call, int nWidth, int nHeight) {
    int32_t nSize = -1;
    Owned<char> block;
    const int32_t nResult = call(&nSize, &block);
    EXPECT_GT(nResult, 0);
    EXPECT_EQ(nSize, nResult);
    if (nResult <= 0 || nSize != nResult || block.get() == nullptr) return {};
    const Picture picture = Decode(block.get(), nSize);
    EXPECT_TRUE(picture.bDecoded);
    EXPECT_EQ(picture.nWidth, nWidth);
    EXPECT_EQ(picture.nHeight, nHeight);
    return std::string(block.get(), static_cast<size_t>(nSize));
}

TEST_F(Simcam, FramesDecodeAtTheConfiguredSizeAndChangePerCall) {
    Start(HostProcOptions::Environment({{"SIMCAM_WIDTH", "320"}, {"SIMCAM_HEIGHT", "240"}, {"SIMCAM_DETERMINISTIC", "1"}}));
    RpcDriverCtx hCtx = Load(SimcamDriver());
    ASSERT_NE(hCtx, nullptr);

    // Nothing before the camera is opened, and not with a wrong password.
    {
        int32_t nSize = -1;
        Owned<char> block;
        EXPECT_EQ(rpc_GetImage2(hCtx, "cam1", 1, &nSize, &block), SIMCAM_E_NOT_OPEN);
        EXPECT_EQ(nSize, 0);
        EXPECT_EQ(block.get(), nullptr);
    }
    EXPECT_EQ(rpc_OpenConnection(hCtx, "cam1", "wrong", 0, 1), SIMCAM_E_PASSWORD);

    ASSERT_EQ(rpc_OpenConnection(hCtx, "cam1", SIMCAM_DEFAULT_PASSWORD, 0, 1), SIMCAM_OK);
    std::set<std::string> frames;
    for (int i = 0; i < 3; ++i) {
        frames.insert(Frame([&](int32_t* pSize, char** ppBlock) { return rpc_GetImage2(hCtx, "cam1", 1, pSize, ppBlock); },
                            320, 240));
    }
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(frames.size(), 3u) << "every call shows a new frame";

    // A stream connection at half size, through GetVideoDataBlock.
    ASSERT_EQ(rpc_OpenStreamConnection(hCtx, "cam1", SIMCAM_DEFAULT_PASSWORD, 1, 2), SIMCAM_OK);
    std::set<std::string> videoFrames;
    for (int i = 0; i < 3; ++i) {
        videoFrames.insert(Frame(
            [&](int32_t* pSize, char** ppBlock) { return rpc_GetVideoDataBlock(hCtx, "cam1", 2, pSize, ppBlock); }, 160,
            120));
    }
    EXPECT_EQ(videoFrames.size(), 3u);
}

TEST_F(Simcam, LiveFramesOfTwoInstancesComeFromOneHostProc) {
    Start(HostProcOptions::Environment({{"SIMCAM_WIDTH", "640"}, {"SIMCAM_HEIGHT", "480"}, {"SIMCAM_FPS", "60"}}));
    RpcDriverCtx hFirst = Load(SimcamDriver());
    RpcDriverCtx hSecond = Load(SimcamDriver());
    ASSERT_NE(hFirst, nullptr);
    ASSERT_NE(hSecond, nullptr);
    ASSERT_EQ(rpc_OpenStreamConnection(hFirst, "10.0.0.1", SIMCAM_DEFAULT_PASSWORD, 0, 1), SIMCAM_OK);
    ASSERT_EQ(rpc_OpenStreamConnection(hSecond, "10.0.0.2", SIMCAM_DEFAULT_PASSWORD, 0, 1), SIMCAM_OK);
    std::set<std::string> frames;
    for (int i = 0; i < 2; ++i) {
        for (RpcDriverCtx hCtx : {hFirst, hSecond}) {
            const char* szId = hCtx == hFirst ? "10.0.0.1" : "10.0.0.2";
            frames.insert(Frame(
                [&](int32_t* pSize, char** ppBlock) { return rpc_GetVideoDataBlock(hCtx, szId, 1, pSize, ppBlock); },
                640, 480));
        }
    }
    EXPECT_EQ(frames.size(), 4u);
    EXPECT_EQ(CountLines("opened driver '" + SimcamDriver() + "'"), 1);
}

}  // namespace
}  // namespace hostproc_test
