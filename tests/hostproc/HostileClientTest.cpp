// A real HostProc against clients that misbehave on raw sockets: PDUs cut
// short, fragment lengths that lie, counts and hints far beyond what is
// sent, a request that never ends, and peers that connect and then say
// nothing. After each, the HostProc is alive, a well-behaved client loaded
// before keeps being served on its context, and the process has not
// reserved memory anything like the sizes the hostile peer announced.
#include <cstring>
#include <fstream>

#include "../rpcrt/Raw.h"
#include "HostProcHarness.h"
#include "RawBind.h"
#include "testdriver_protocol.h"

namespace hostproc_test {
namespace {

using raw::Builder;
using raw::Bytes;

using namespace raw::faults;
constexpr uint32_t kResponse = 0;      // not a fault
constexpr uint32_t kNothing = 1;       // closed without an answer
constexpr uint64_t kStubLimit = 256u << 20;
// What the hostile peers may cost the process at most: thread stacks of
// their connections and the like, far below the sizes they announce.
constexpr long kGrowthBoundKb = 96 * 1024;

int OpenConnectionEcho() {
    using namespace testdriver;
    return DefaultResult(Call("OpenConnection", {Str("t"), Str("pw"), Int(0), Int(1)}));
}

// The fault status of a reply, kResponse for a response, kNothing for none.
uint32_t AnswerOf(const Bytes& reply) {
    if (reply.size() < 16) return kNothing;
    return reply[2] == 3 ? raw::u32at(reply, 24) : kResponse;
}

Bytes WithFragLength(Bytes pdu, uint16_t nLength) {
    std::memcpy(pdu.data() + 8, &nLength, 2);
    return pdu;
}

Bytes Cut(Bytes pdu, size_t nSize) {
    pdu.resize(nSize);
    return pdu;
}

class HostileClient : public HostProcTest {
protected:
    void SetUp() override {
        HostProcTest::SetUp();
        // One malloc arena: otherwise each new connection thread may reserve
        // an arena of its own (64 MiB of address space), which would hide
        // the allocations this test is looking for.
        Start(HostProcOptions::Environment(Environment()));
        m_hCtx = Load(TestDriver());
        ASSERT_NE(m_hCtx, nullptr);
        ExpectServedNormally("at the start");
        m_nPeakKb = StatusKb("VmPeak:");
        m_nHwmKb = StatusKb("VmHWM:");
    }

    virtual std::map<std::string, std::string> Environment() const { return {{"MALLOC_ARENA_MAX", "1"}}; }

    long StatusKb(const char* szField) const {
        std::ifstream status("/proc/" + std::to_string(Pid()) + "/status");
        for (std::string strLine; std::getline(status, strLine);) {
            if (strLine.rfind(szField, 0) == 0) return std::atol(strLine.c_str() + std::strlen(szField));
        }
        return -1;
    }

    // Alive, serving the good client on its context, and not grown.
    void ExpectServedNormally(const std::string& strAfter) {
        ASSERT_TRUE(StaysFor(0ms)) << "HostProc ended after " << strAfter;
        EXPECT_EQ(rpc_OpenConnection(m_hCtx, "t", "pw", 0, 1), OpenConnectionEcho()) << "after " << strAfter;
        if (m_nPeakKb > 0) {
            EXPECT_LE(StatusKb("VmPeak:") - m_nPeakKb, kGrowthBoundKb) << "VmPeak after " << strAfter;
            EXPECT_LE(StatusKb("VmHWM:") - m_nHwmKb, kGrowthBoundKb) << "VmHWM after " << strAfter;
        }
    }

    raw::Conn Connect() { return raw::Conn::to(SocketPath()); }
    raw::Conn Bound(uint16_t nMaxFrag = 65528) {
        raw::Conn conn = Connect();
        conn.send(raw::bind(1, 0, {{0}}, nMaxFrag, nMaxFrag));
        const Bytes ack = conn.read();
        EXPECT_TRUE(ack.size() >= 16 && ack[2] == 12) << "no bind_ack";
        return conn;
    }
    // The raw peer's own context: the test driver loaded on its connection.
    Bytes LoadOn(raw::Conn& conn) {
        conn.send(raw::request(2, 0, 0, Builder().str(TestDriver()).done()));
        Bytes reply = conn.read();
        EXPECT_EQ(AnswerOf(reply), kResponse);
        return reply.size() >= 44 ? Bytes(reply.begin() + 24, reply.begin() + 44) : Bytes(20, 0);
    }

    // Peers that connect and then say nothing, or half of something, or
    // only bind, and stay.
    struct StalledPeers {
        raw::Conn silent, halfHeader, halfRequest, promised, boundOnly;
    };
    StalledPeers ConnectStalledPeers() {
        StalledPeers peers{Connect(), Connect(), Bound(), Bound(), Bound()};
        peers.halfHeader.send(Cut(raw::bind(1, 0, {{0}}), 8));
        peers.halfRequest.send(Cut(raw::request(2, 0, 0, Builder().str(TestDriver()).done()), 10));
        peers.promised.send(WithFragLength(raw::request(2, 0, 0, Builder().str("x").done()), 4000));
        return peers;
    }

    RpcDriverCtx m_hCtx = nullptr;
    long m_nPeakKb = 0;
    long m_nHwmKb = 0;
};

TEST_F(HostileClient, CutAndLyingPdus) {
    const Bytes bind = raw::bind(1, 0, {{0}});
    const Bytes load = raw::request(2, 0, 0, Builder().str(TestDriver()).done());
    struct Case {
        const char* szWhat;
        bool bBindFirst;
        Bytes pdu;
        uint32_t nAnswer;  // kNothing: the peer closes right after sending
        bool bDropped;     // the server closes the connection
    } cases[] = {
        {"bind cut at 1", false, Cut(bind, 1), kNothing, false},
        {"bind cut at 10", false, Cut(bind, 10), kNothing, false},
        {"bind cut at 16", false, Cut(bind, 16), kNothing, false},
        {"bind cut at 40", false, Cut(bind, 40), kNothing, false},
        {"request cut at 10", true, Cut(load, 10), kNothing, false},
        {"request cut at 23", true, Cut(load, 23), kNothing, false},
        {"request cut in its stub", true, Cut(load, load.size() - 5), kNothing, false},
        {"bind frag_length 0", false, WithFragLength(bind, 0), kNothing, true},
        {"bind frag_length 15", false, WithFragLength(bind, 15), kNothing, true},
        {"request frag_length 20", true, WithFragLength(load, 20), kProto, true},
        {"request frag_length 65535", true,
         raw::request(2, 0, 0, Builder().str(std::string(65535 - 24 - 13, 'x')).done()), kProto, true},
        {"request longer than sent", true, WithFragLength(load, uint16_t(load.size() + 100)), kNothing, false},
    };
    for (const Case& c : cases) {
        {
            raw::Conn conn = c.bBindFirst ? Bound() : Connect();
            conn.send(c.pdu);
            if (c.nAnswer != kNothing) {
                EXPECT_EQ(AnswerOf(conn.read()), c.nAnswer) << c.szWhat;
            }
            if (c.bDropped) {
                EXPECT_TRUE(conn.ended()) << c.szWhat;
            }
        }
        ExpectServedNormally(c.szWhat);
    }
    // A fragment larger than the size this peer asked for.
    {
        raw::Conn conn = Bound(1432);
        conn.send(raw::request(2, 0, 0, Builder().str(std::string(2000, 'x')).done()));
        EXPECT_EQ(AnswerOf(conn.read()), kProto);
        EXPECT_TRUE(conn.ended());
    }
    ExpectServedNormally("a fragment beyond the negotiated size");
}

// Counts at 2^31, all ones, beyond the stub limit and just under it in
// requests of a few bytes, strings without terminator, and an alloc_hint of
// 4 GiB, each answered with its fault on a connection that goes on.
TEST_F(HostileClient, LyingCountsAndHints) {
    raw::Conn conn = Bound();
    const Bytes ctx = LoadOn(conn);
    constexpr uint32_t k31 = 0x80000000, kAll = 0xFFFFFFFF, kUnder = 0x0FF00000;
    auto string = [](uint32_t nMax, uint32_t nOffset, uint32_t nActual, const std::string& str = std::string("ab\0", 3)) {
        return Builder().str(str, nMax, nOffset, nActual).done();
    };
    // PutMediaDataBlock(ctx, "t", 2, 1, 0, nLength, bytes[max]).
    auto put = [&](uint32_t nLength, uint32_t nMax) {
        return Builder().bytes(ctx).str("t").align(4).u32(2).u32(1).u32(0).u32(nLength).u32(nMax).u32(0x01020304).done();
    };
    // SetXmlParams(ctx, "t", "u", "p", wstring).
    auto wide = [&](uint32_t nCount) {
        return Builder().bytes(ctx).str("t").str("u").str("p").align(4).u32(nCount).u32(0).u32(nCount).u16('a').u16(0).done();
    };
    // SetEventsDyn(ctx, "t", "p", n, strings[max]).
    auto events = [&](uint32_t nCount, uint32_t nMax) {
        return Builder().bytes(ctx).str("t").str("p").align(4).u32(nCount).u32(nMax).u32(0x20000).str("e").done();
    };
    Bytes hinted = raw::request(0, 0, 11, Builder().bytes(ctx).str("t").str("pw").align(4).u32(0).u32(1).done());
    std::memcpy(hinted.data() + 16, &kAll, 4);
    struct Case {
        const char* szWhat;
        uint16_t nOpnum;
        Bytes stub;  // empty: `hinted`
        uint32_t nAnswer;
    } cases[] = {
        {"alloc_hint 4 GiB", 11, {}, kResponse},
        {"string 2^31", 0, string(k31, 0, k31), kNoMemory},
        {"string all ones", 0, string(kAll, 0, kAll), kNoMemory},
        {"string under the limit", 0, string(kUnder, 0, kUnder), kBadStub},
        {"string offset 2^31", 0, string(3, k31, 3), kBadStub},
        {"string actual 2^31 over max", 0, string(3, 0, k31), kBound},
        {"string without terminator", 0, string(3, 0, 3, "abc"), kBadStub},
        {"string early terminator", 0, string(3, 0, 3, std::string("a\0b", 3)), kBadStub},
        {"bytes 2^31", 46, put(k31, k31), kBound},
        {"bytes 2^31-1", 46, put(0x7FFFFFFF, 0x7FFFFFFF), kNoMemory},
        {"bytes under the limit", 46, put(kUnder, kUnder), kBadStub},
        {"bytes max all ones", 46, put(4, kAll), kBadStub},
        {"wstring under the limit", 51, wide(kUnder / 2), kBadStub},
        {"wstring 2^31", 51, wide(k31), kNoMemory},
        {"strings 2^31", 66, events(k31, k31), kBound},
        {"strings under the limit", 66, events(kUnder / 4, kUnder / 4), kBadStub},
    };
    uint32_t nCallId = 10;
    for (const Case& c : cases) {
        Bytes pdu = c.stub.empty() ? hinted : raw::request(0, 0, c.nOpnum, c.stub);
        ++nCallId;
        std::memcpy(pdu.data() + 12, &nCallId, 4);
        conn.send(pdu);
        const Bytes reply = conn.read();
        EXPECT_EQ(AnswerOf(reply), c.nAnswer) << c.szWhat;
        ExpectServedNormally(c.szWhat);
    }
    // The hostile connection itself is still in step.
    conn.send(hinted);
    EXPECT_EQ(AnswerOf(conn.read()), kResponse);
}

// Fragments without the last flag, streamed fast: once more than the stub
// limit has been sent, the fault is there to be read (the server answers
// before it has skipped the rest, which never comes).
TEST_F(HostileClient, NeverEndingRequest) {
    raw::Conn conn = Bound();
    const Bytes zeros(65528 - 24, 0);
    conn.send(raw::request(3, 0, 90, zeros, 1));
    const Bytes more = raw::request(3, 0, 90, zeros, 0);
    uint64_t nSent = zeros.size();
    while (nSent <= kStubLimit && conn.send(more)) nSent += zeros.size();
    EXPECT_GT(nSent, kStubLimit) << "dropped before the limit";
    EXPECT_EQ(AnswerOf(conn.read()), kOpRange);
    ExpectServedNormally("a request that never ends");
}

TEST_F(HostileClient, SilentPeersBlockNobody) {
    const StalledPeers peers = ConnectStalledPeers();
    ExpectServedNormally("silent peers connected");
    // New connections and new clients are served too.
    EXPECT_EQ(RawBindProbe(SocketPath(), 30000), 12);
    const handle_t hOther = Bind();
    const RpcDriverCtx hOtherCtx = rpc_LoadDriver(hOther, TestDriver().c_str());
    ASSERT_NE(hOtherCtx, nullptr);
    EXPECT_EQ(StateValue(DriverState(hOtherCtx), "pid"), Pid());
    RpcDriverCtx hDrop = hOtherCtx;
    RpcSsDestroyClientContext(&hDrop);
}

// The same peers against a HostProc that allows a short stall: each is
// closed, and so is a bound peer resting without a context, while one
// resting with a context is kept.
class StallingClient : public HostileClient {
protected:
    std::map<std::string, std::string> Environment() const override {
        auto env = HostileClient::Environment();
        env["KESTREL_TEST_HOSTPROC_STALL_MS"] = "300";
        env["KESTREL_TEST_HOSTPROC_IDLE_MS"] = "200";
        return env;
    }
};

TEST_F(StallingClient, StalledPeersAreClosedRestingOnesKept) {
    raw::Conn resting = Bound();
    ASSERT_NE(LoadOn(resting), Bytes(20, 0));
    raw::Conn contextHalfRequest = Bound();
    ASSERT_NE(LoadOn(contextHalfRequest), Bytes(20, 0));
    contextHalfRequest.send(Cut(raw::request(2, 0, 0, Builder().str(TestDriver()).done()), 10));
    StalledPeers peers = ConnectStalledPeers();

    EXPECT_TRUE(peers.silent.ended()) << "a peer that never binds";
    EXPECT_TRUE(peers.halfHeader.ended()) << "a peer stalled inside its bind";
    EXPECT_TRUE(peers.halfRequest.ended()) << "a peer stalled inside a request header";
    EXPECT_TRUE(peers.promised.ended()) << "a peer stalled inside a request body";
    EXPECT_TRUE(peers.boundOnly.ended()) << "a peer resting with no context";
    EXPECT_TRUE(contextHalfRequest.ended()) << "a peer with a context stalled inside a request header";

    // With a context, silent since before any of them: still served.
    EXPECT_NE(LoadOn(resting), Bytes(20, 0));
    ExpectServedNormally("stalled peers were closed");
}

// Peers that stall no longer keep an otherwise idle HostProc alive.
TEST_F(StallingClient, StalledPeersDoNotKeepTheProcessAlive) {
    StalledPeers peers = ConnectStalledPeers();
    rpc_UnloadDriver(&m_hCtx);
    ReleaseClient();
    const std::optional<int> status = WaitExit();
    ASSERT_TRUE(status.has_value()) << "still running with only stalled peers connected";
    EXPECT_TRUE(IsCleanExit(*status)) << *status;
    EXPECT_TRUE(WaitForLine("exiting: no client left"));
    EXPECT_TRUE(peers.silent.ended());
    EXPECT_TRUE(peers.boundOnly.ended());
}

}  // namespace
}  // namespace hostproc_test
