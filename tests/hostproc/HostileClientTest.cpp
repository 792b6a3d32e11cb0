// A real HostProc against raw peers, for what only the real process shows.
// Requests of a few bytes that announce counts and hints far beyond what is
// sent once grew HostProc's VmPeak by 263 MiB: each gets its fault, the
// process reserves nothing like the announced sizes, and a well-behaved
// client loaded before keeps being served on its context. Peers that
// connect and then say nothing, or half of something, block nobody, and
// once they stall beyond the stall limit they are closed and no longer keep
// an otherwise idle HostProc alive.
#include <cstring>
#include <fstream>

#include "../rpcrt/Raw.h"
#include "HostProcHarness.h"
#include "testdriver_protocol.h"

namespace hostproc_test {
namespace {

using namespace raw;

// What the hostile peers may cost the process at most: thread stacks of
// their connections and the like, far below the sizes they announce.
constexpr long kGrowthBoundKb = 96 * 1024;

class HostileClient : public HostProcTest {
protected:
    void SetUp() override {
        HostProcTest::SetUp();
        // One malloc arena: otherwise each new connection thread may reserve
        // an arena of its own (64 MiB of address space), which would hide
        // the allocations this test is looking for.
        HostProcOptions options;
        options.environment = Environment();
        options.environment["MALLOC_ARENA_MAX"] = "1";
        Start(options);
        m_hCtx = Load(TestDriver());
        ASSERT_NE(m_hCtx, nullptr);
        m_nPeakKb = StatusKb("VmPeak:");
        m_nHwmKb = StatusKb("VmHWM:");
    }

    virtual std::map<std::string, std::string> Environment() const { return {}; }

    long StatusKb(const char* szField) const {
        std::ifstream status("/proc/" + std::to_string(Pid()) + "/status");
        for (std::string strLine; std::getline(status, strLine);) {
            if (strLine.rfind(szField, 0) == 0) return std::atol(strLine.c_str() + std::strlen(szField));
        }
        return -1;
    }

    // Alive, serving the good client on its context, and not grown.
    void ExpectServedNormally(const std::string& strAfter) {
        using namespace testdriver;
        ASSERT_TRUE(StaysFor(0ms)) << "HostProc ended after " << strAfter;
        EXPECT_EQ(rpc_OpenConnection(m_hCtx, "t", "pw", 0, 1),
                  DefaultResult(Call("OpenConnection", {Str("t"), Str("pw"), Int(0), Int(1)})))
            << "after " << strAfter;
        EXPECT_LE(StatusKb("VmPeak:") - m_nPeakKb, kGrowthBoundKb) << "VmPeak after " << strAfter;
        EXPECT_LE(StatusKb("VmHWM:") - m_nHwmKb, kGrowthBoundKb) << "VmHWM after " << strAfter;
    }

    Conn Connect() { return Conn::to(SocketPath()); }
    Conn Bound() {
        Conn conn = Connect();
        conn.send(bind(1));
        EXPECT_EQ(conn.read().at(at::kPtype), ptype::kBindAck);
        return conn;
    }
    // The raw peer's own context: the test driver loaded on its connection.
    Bytes LoadOn(Conn& conn) {
        conn.send(request(2, 0, Builder().str(TestDriver()).done()));
        Bytes reply = conn.read();
        EXPECT_EQ(faultOf(reply), 0u);
        return reply.size() >= 44 ? Bytes(reply.begin() + at::kStub, reply.begin() + at::kStub + 20) : Bytes(20, 0);
    }

    // Peers that connect and then say nothing, or half of something, or
    // only bind, and stay.
    struct StalledPeers {
        Conn silent, halfHeader, halfRequest, promised, boundOnly;
    };
    StalledPeers ConnectStalledPeers() {
        StalledPeers peers{Connect(), Connect(), Bound(), Bound(), Bound()};
        peers.halfHeader.send(cut(bind(1), 8));
        peers.halfRequest.send(cut(request(2, 0, Builder().str(TestDriver()).done()), 10));
        peers.promised.send(with<uint16_t>(request(2, 0, Builder().str("x").done()), at::kFragLength, 4000));
        return peers;
    }

    RpcDriverCtx m_hCtx = nullptr;
    long m_nPeakKb = 0;
    long m_nHwmKb = 0;
};

// Counts at 2^31, beyond the stub limit and just under it in requests of a
// few bytes, and an alloc_hint of 4 GiB, each answered with its fault on a
// connection that goes on, while stalled peers stay connected (the stall
// limit here is the shipped one).
TEST_F(HostileClient, LyingCountsCostNothingLikeTheirSizeAndStalledPeersBlockNobody) {
    const StalledPeers peers = ConnectStalledPeers();
    Conn conn = Bound();
    const Bytes ctx = LoadOn(conn);
    constexpr uint32_t k31 = 0x80000000, kAll = 0xFFFFFFFF, kUnder = 0x0FF00000;
    auto string = [](uint32_t nCount) { return Builder().str(std::string("ab\0", 3), nCount, 0, nCount).done(); };
    // PutMediaDataBlock(ctx, "t", 2, 1, 0, n, bytes[max]).
    auto put = [&](uint32_t n, uint32_t max) {
        return Builder().bytes(ctx).str("t").align(4).u32(2).u32(1).u32(0).u32(n).u32(max).u32(0x01020304).done();
    };
    // SetXmlParams(ctx, "t", "u", "p", wstring).
    auto wide = [&](uint32_t n) {
        return Builder().bytes(ctx).str("t").str("u").str("p").align(4).u32(n).u32(0).u32(n).u16('a').u16(0).done();
    };
    // SetEventsDyn(ctx, "t", "p", n, strings[max]).
    auto events = [&](uint32_t nCount, uint32_t nMax) {
        return Builder().bytes(ctx).str("t").str("p").align(4).u32(nCount).u32(nMax).u32(0x20000).str("e").done();
    };
    const Bytes hinted = with(request(0, 11, Builder().bytes(ctx).str("t").str("pw").align(4).u32(0).u32(1).done()),
                              at::kAllocHint, kAll);
    struct Case {
        const char* szWhat;
        uint16_t nOpnum;
        Bytes stub;  // empty: `hinted`
        uint32_t nFault;
    } cases[] = {
        {"alloc_hint 4 GiB", 11, {}, 0},
        {"string 2^31", 0, string(k31), nca::kRemoteNoMemory},
        {"string under the limit", 0, string(kUnder), nca::kBadStubData},
        {"bytes 2^31", 46, put(k31, k31), nca::kInvalidBound},
        {"bytes 2^31-1", 46, put(0x7FFFFFFF, 0x7FFFFFFF), nca::kRemoteNoMemory},
        {"bytes under the limit", 46, put(kUnder, kUnder), nca::kBadStubData},
        {"wstring under the limit", 51, wide(kUnder / 2), nca::kBadStubData},
        {"wstring 2^31", 51, wide(k31), nca::kRemoteNoMemory},
        {"strings 2^31", 66, events(k31, k31), nca::kInvalidBound},
        {"strings under the limit", 66, events(kUnder / 4, kUnder / 4), nca::kBadStubData},
    };
    uint32_t nCallId = 10;
    for (const Case& c : cases) {
        conn.send(with(c.stub.empty() ? hinted : request(0, c.nOpnum, c.stub), at::kCallId, ++nCallId));
        EXPECT_EQ(faultOf(conn.read()), c.nFault) << c.szWhat;
        ExpectServedNormally(c.szWhat);
    }
    // The hostile connection itself is still in step.
    conn.send(hinted);
    EXPECT_EQ(faultOf(conn.read()), 0u);
    // New connections are served too.
    EXPECT_EQ(probe(SocketPath()), ptype::kBindAck);
}

// The same peers against a HostProc that allows a short stall: each is
// closed, and so is a bound peer resting without a context, while one
// resting with a context is kept. Closed, they no longer keep an otherwise
// idle HostProc alive.
class StallingClient : public HostileClient {
protected:
    std::map<std::string, std::string> Environment() const override {
        return {{"KESTREL_TEST_HOSTPROC_STALL_MS", "300"}, {"KESTREL_TEST_HOSTPROC_IDLE_MS", "200"}};
    }
};

TEST_F(StallingClient, StalledPeersAreClosedRestingOnesKeptAndNoneKeepsTheProcessAlive) {
    std::optional<Conn> resting(Bound());
    ASSERT_NE(LoadOn(*resting), Bytes(20, 0));
    Conn contextHalfRequest = Bound();
    ASSERT_NE(LoadOn(contextHalfRequest), Bytes(20, 0));
    contextHalfRequest.send(cut(request(2, 0, Builder().str(TestDriver()).done()), 10));
    StalledPeers peers = ConnectStalledPeers();

    EXPECT_TRUE(peers.silent.ended()) << "a peer that never binds";
    EXPECT_TRUE(peers.halfHeader.ended()) << "a peer stalled inside its bind";
    EXPECT_TRUE(peers.halfRequest.ended()) << "a peer stalled inside a request header";
    EXPECT_TRUE(peers.promised.ended()) << "a peer stalled inside a request body";
    EXPECT_TRUE(peers.boundOnly.ended()) << "a peer resting with no context";
    EXPECT_TRUE(contextHalfRequest.ended()) << "a peer with a context stalled inside a request header";

    // With a context, silent since before any of them: still served.
    EXPECT_NE(LoadOn(*resting), Bytes(20, 0));
    ExpectServedNormally("stalled peers were closed");

    // The stalled peers stay open on our side; once the clients leave, the
    // HostProc ends all the same.
    resting.reset();
    rpc_UnloadDriver(&m_hCtx);
    ReleaseClient();
    const std::optional<int> status = WaitExit();
    ASSERT_TRUE(status.has_value()) << "still running with only stalled peers connected";
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(WaitForLine("exiting: no client left"));
}

}  // namespace
}  // namespace hostproc_test
