// The files `kestrel stream` writes from JPEG frames: Matroska (timed, plays
// at the camera's speed anywhere), bare MJPEG (the frames one after the
// other), or multipart (each frame with its own part header, as MJPEG over
// HTTP sends them).
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

namespace kestrel_cli {

class FrameWriter {
public:
    virtual ~FrameWriter() = default;
    // One frame that arrived dSeconds after the first; throws Failure (kExitIo).
    virtual void Frame(const unsigned char* p, size_t nSize, double dSeconds) = 0;
    // Writes what is still held and, where the file can be sought, the
    // sizes and the duration it could not know before.
    virtual void Finish() = 0;
};

// strFormat is "mkv", "mjpeg" or "multipart"; dFps (0 when unknown) gives the
// frames' nominal duration; strName names the output in messages.
std::unique_ptr<FrameWriter> MakeFrameWriter(const std::string& strFormat, FILE* pOut, const std::string& strName,
                                             double dFps);

}  // namespace kestrel_cli
