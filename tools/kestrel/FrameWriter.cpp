#include "FrameWriter.h"

#include "Api.h"
#include "Util.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include <sys/stat.h>

namespace kestrel_cli {

namespace {

class Output {
public:
    Output(FILE* pOut, std::string strName) : m_pOut(pOut), m_strName(std::move(strName)) {}
    void Write(const void* p, size_t n)
    {
        if (n > 0 && std::fwrite(p, 1, n, m_pOut) != n)
            Fail();
    }
    void Write(const std::string& s) { Write(s.data(), s.size()); }
    [[noreturn]] void Fail() const
    {
        throw Failure{kExitIo, "cannot write " + m_strName + ": " + std::strerror(errno)};
    }
    FILE* File() const { return m_pOut; }

private:
    FILE* m_pOut;
    std::string m_strName;
};

class MjpegWriter : public FrameWriter {
public:
    explicit MjpegWriter(Output out) : m_out(std::move(out)) {}
    void Frame(const unsigned char* p, size_t n, double) override { m_out.Write(p, n); }
    void Finish() override {}

private:
    Output m_out;
};

class MultipartWriter : public FrameWriter {
public:
    explicit MultipartWriter(Output out) : m_out(std::move(out)) {}
    void Frame(const unsigned char* p, size_t n, double) override
    {
        m_out.Write("--kestrelframe\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(n) + "\r\n\r\n");
        m_out.Write(p, n);
        m_out.Write("\r\n");
    }
    void Finish() override {}

private:
    Output m_out;
};

// Matroska with one V_MJPEG track, timestamps in milliseconds. Clusters are
// held in memory until complete (about a second) so that each is written
// with its size; a file that can be sought gets the segment's size and the
// duration at the end, a pipe an open-ended segment.
class MatroskaWriter : public FrameWriter {
public:
    MatroskaWriter(Output out, double dFps) : m_out(std::move(out)), m_dFps(dFps)
    {
        struct stat st {};
        m_bSeekable = fstat(fileno(m_out.File()), &st) == 0 && S_ISREG(st.st_mode);
    }

    void Frame(const unsigned char* p, size_t n, double dSeconds) override
    {
        const int64_t nMs = static_cast<int64_t>(dSeconds * 1000.0 + 0.5);
        if (!m_bHeader)
            Header(p, n);
        if (!m_cluster.empty() && nMs - m_nClusterMs >= 1000)
            FlushCluster();
        if (m_cluster.empty()) {
            m_nClusterMs = nMs;
            Uint(m_cluster, 0xE7, static_cast<uint64_t>(nMs));  // Timestamp
        }
        // SimpleBlock: track 1, time relative to the cluster, a key frame.
        const int16_t nRelative = static_cast<int16_t>(nMs - m_nClusterMs);
        std::string block = {'\x81', static_cast<char>(nRelative >> 8), static_cast<char>(nRelative & 0xFF), '\x80'};
        Id(m_cluster, 0xA3);
        Size(m_cluster, block.size() + n);
        m_cluster += block;
        m_cluster.append(reinterpret_cast<const char*>(p), n);
        m_nLastMs = nMs;
        ++m_nFrames;
    }

    void Finish() override
    {
        if (!m_bHeader)
            return;  // no frame, no file worth a header
        FlushCluster();
        if (!m_bSeekable)
            return;
        // The duration: up to the end of the last frame.
        const double dFrameMs =
            m_dFps > 0 ? 1000.0 / m_dFps : (m_nFrames > 1 ? static_cast<double>(m_nLastMs) / (m_nFrames - 1) : 0);
        const double dDuration = static_cast<double>(m_nLastMs) + dFrameMs;
        uint64_t nBits;
        std::memcpy(&nBits, &dDuration, sizeof nBits);
        std::string duration;
        for (int i = 7; i >= 0; --i)
            duration += static_cast<char>((nBits >> (8 * i)) & 0xFF);
        const long nEnd = std::ftell(m_out.File());
        std::string segment;
        Size8(segment, static_cast<uint64_t>(nEnd - m_nSegmentData));
        if (nEnd < 0 || std::fseek(m_out.File(), m_nSegmentData - 8, SEEK_SET) != 0)
            m_out.Fail();
        m_out.Write(segment);
        if (std::fseek(m_out.File(), m_nDurationAt, SEEK_SET) != 0)
            m_out.Fail();
        m_out.Write(duration);
        if (std::fseek(m_out.File(), nEnd, SEEK_SET) != 0)
            m_out.Fail();
    }

private:
    static void Id(std::string& s, uint32_t nId)
    {
        for (int i = nId > 0xFFFFFF ? 3 : nId > 0xFFFF ? 2 : nId > 0xFF ? 1 : 0; i >= 0; --i)
            s += static_cast<char>((nId >> (8 * i)) & 0xFF);
    }
    // A size in as few bytes as it needs (all ones is reserved for "unknown").
    static void Size(std::string& s, uint64_t n)
    {
        int nBytes = 1;
        while (nBytes < 8 && n >= (uint64_t{1} << (7 * nBytes)) - 1)
            ++nBytes;
        const uint64_t nCoded = n | (uint64_t{1} << (7 * nBytes));
        for (int i = nBytes - 1; i >= 0; --i)
            s += static_cast<char>((nCoded >> (8 * i)) & 0xFF);
    }
    static void Size8(std::string& s, uint64_t n)
    {
        s += '\x01';
        for (int i = 6; i >= 0; --i)
            s += static_cast<char>((n >> (8 * i)) & 0xFF);
    }
    static void Element(std::string& s, uint32_t nId, const std::string& data)
    {
        Id(s, nId);
        Size(s, data.size());
        s += data;
    }
    static void Uint(std::string& s, uint32_t nId, uint64_t n)
    {
        std::string data;
        for (int i = 7; i >= 0; --i) {
            if (!data.empty() || (n >> (8 * i)) != 0 || i == 0)
                data += static_cast<char>((n >> (8 * i)) & 0xFF);
        }
        Element(s, nId, data);
    }

    void Header(const unsigned char* p, size_t n)
    {
        int nWidth = 0, nHeight = 0;
        if (!JpegDimensions(p, n, nWidth, nHeight))
            throw Failure{kExitDriverFailed,
                          "the camera's blocks are not JPEG pictures: write them with --format mjpeg"};
        std::string ebml, header, info, video, track, tracks;
        Uint(ebml, 0x4286, 1);  // EBMLVersion
        Uint(ebml, 0x42F7, 1);  // EBMLReadVersion
        Uint(ebml, 0x42F2, 4);  // EBMLMaxIDLength
        Uint(ebml, 0x42F3, 8);  // EBMLMaxSizeLength
        Element(ebml, 0x4282, "matroska");
        Uint(ebml, 0x4287, 4);  // DocTypeVersion
        Uint(ebml, 0x4285, 2);  // DocTypeReadVersion
        Element(header, 0x1A45DFA3, ebml);
        // Segment: of unknown size until the end patches it in, so that a
        // recording cut short stays readable.
        Id(header, 0x18538067);
        Size8(header, (uint64_t{1} << 56) - 1);
        m_nSegmentData = static_cast<long>(header.size());

        Uint(info, 0x2AD7B1, 1000000);  // TimestampScale: milliseconds
        Element(info, 0x4D80, "kestrel");
        Element(info, 0x5741, "kestrel stream");
        size_t nDurationInInfo = std::string::npos;
        if (m_bSeekable) {
            Id(info, 0x4489);  // Duration, a double patched at the end
            Size(info, 8);
            nDurationInInfo = info.size();
            info.append(8, '\0');
        }
        Uint(video, 0xB0, static_cast<uint64_t>(nWidth));
        Uint(video, 0xBA, static_cast<uint64_t>(nHeight));
        Uint(track, 0xD7, 1);    // TrackNumber
        Uint(track, 0x73C5, 1);  // TrackUID
        Uint(track, 0x83, 1);    // TrackType: video
        Uint(track, 0x9C, 0);    // FlagLacing
        Element(track, 0x86, "V_MJPEG");
        if (m_dFps > 0)
            Uint(track, 0x23E383, static_cast<uint64_t>(1e9 / m_dFps + 0.5));  // DefaultDuration, ns
        Element(track, 0xE0, video);
        Element(tracks, 0xAE, track);

        std::string infoElement;
        Element(infoElement, 0x1549A966, info);
        if (m_bSeekable)
            m_nDurationAt = m_nSegmentData + static_cast<long>(infoElement.size() - info.size() + nDurationInInfo);
        header += infoElement;
        Element(header, 0x1654AE6B, tracks);
        m_out.Write(header);
        m_bHeader = true;
    }

    void FlushCluster()
    {
        if (m_cluster.empty())
            return;
        std::string head;
        Id(head, 0x1F43B675);
        Size(head, m_cluster.size());
        m_out.Write(head);
        m_out.Write(m_cluster);
        m_cluster.clear();
    }

    Output m_out;
    double m_dFps;
    bool m_bSeekable = false;
    bool m_bHeader = false;
    long m_nSegmentData = 0;  // file offset where the segment's content starts
    long m_nDurationAt = 0;   // file offset of the duration's 8 bytes
    std::string m_cluster;
    int64_t m_nClusterMs = 0;
    int64_t m_nLastMs = 0;
    uint64_t m_nFrames = 0;
};

}  // namespace

std::unique_ptr<FrameWriter> MakeFrameWriter(const std::string& strFormat, FILE* pOut, const std::string& strName,
                                             double dFps)
{
    Output out(pOut, strName);
    if (strFormat == "mjpeg")
        return std::make_unique<MjpegWriter>(out);
    if (strFormat == "multipart")
        return std::make_unique<MultipartWriter>(out);
    return std::make_unique<MatroskaWriter>(out, dFps);
}

}  // namespace kestrel_cli
