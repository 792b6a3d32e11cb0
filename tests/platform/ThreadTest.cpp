// Threads, critical sections and conditions, driven through real threads.
#include <unistd.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Thread.h"

namespace {

using NmThread::CmCondition;
using NmThread::CmThread;

constexpr const char* kLocation = "NmTest::Thread (line posix/Test-OSD.cpp, 1)";

enum class Body { ReturnTrue, ReturnFalse, Throw, BeginThrows };

// Records which hooks ran; the body can be held until a gate opens.
class ProbeThread : public CmThread {
public:
    explicit ProbeThread(Body eBody, std::shared_future<void> gate = {}) : m_eBody(eBody), m_Gate(std::move(gate)) {}
    ~ProbeThread() override { Join(); }

    void BeginThreadFunction(void* pArgument) override
    {
        m_pBeginArgument = pArgument;
        if (m_eBody == Body::BeginThrows)
            throw NmError::CmError(kLocation, "begin failed");
    }
    bool ThreadFunction(void*) override
    {
        m_nBodyThreadId = static_cast<std::uint32_t>(gettid());
        if (m_Gate.valid())
            m_Gate.wait();
        m_bBodyRan = true;
        if (m_eBody == Body::Throw)
            throw NmError::CmError(kLocation, "body failed");
        return m_eBody == Body::ReturnTrue;
    }
    void EndThreadFunction(void*) override
    {
        m_bEndRan = true;
        throw NmError::CmError(kLocation, "end failures are swallowed");
    }

    const Body m_eBody;
    std::shared_future<void> m_Gate;
    void* m_pBeginArgument = nullptr;
    std::uint32_t m_nBodyThreadId = 0;
    std::atomic<bool> m_bBodyRan{false};
    std::atomic<bool> m_bEndRan{false};
};

TEST(ThreadJoin, ReportsTheBodysOutcomeAfterTheHooksThatRan)
{
    EXPECT_TRUE(CmThread().Join()) << "never run: nothing to wait for";
    const struct {
        Body eBody;
        bool bJoin;
        bool bBodyAndEndRan;
    } cases[] = {{Body::ReturnTrue, true, true},
                 {Body::ReturnFalse, false, true},
                 {Body::Throw, false, true},
                 {Body::BeginThrows, false, false}};
    int nArgument = 0;
    for (const auto& c : cases) {
        ProbeThread thread(c.eBody);
        thread.Run(&nArgument);
        EXPECT_EQ(thread.Join(), c.bJoin);
        EXPECT_FALSE(thread.HasThreadHandle());
        EXPECT_EQ(thread.m_pBeginArgument, &nArgument);
        EXPECT_EQ(thread.m_bBodyRan, c.bBodyAndEndRan);
        EXPECT_EQ(thread.m_bEndRan, c.bBodyAndEndRan);
        EXPECT_TRUE(thread.GetEndCondition().Wait(0));
    }
}

TEST(ThreadDetach, ThreadRunsOnAndItsEndIsSignalledAfterEndThreadFunction)
{
    std::promise<void> gate;
    ProbeThread thread(Body::ReturnFalse, gate.get_future().share());
    thread.GetEndCondition().Set();  // Run must clear a stale end
    thread.Run(nullptr);
    EXPECT_FALSE(thread.GetEndCondition().Wait(0));
    EXPECT_TRUE(thread.HasThreadHandle());
    EXPECT_NE(thread.GetThreadId(), static_cast<std::uint32_t>(gettid()));
    thread.Detach();
    thread.Detach();  // a second Detach does nothing
    EXPECT_FALSE(thread.HasThreadHandle());
    EXPECT_EQ(thread.GetThreadHandleValue(), 0u);
    EXPECT_TRUE(thread.Join()) << "nothing left to join";

    gate.set_value();
    EXPECT_TRUE(thread.GetEndCondition().Wait(CmCondition::kInfinite));
    EXPECT_TRUE(thread.m_bEndRan);
    EXPECT_TRUE(thread.GetEndCondition().Wait(0)) << "manual reset: stays set";
    EXPECT_EQ(thread.GetThreadId(), thread.m_nBodyThreadId) << "the id is the new thread's gettid()";
}

TEST(ThreadDestructor, WaitsForTheThreadProcedure)
{
    // Shared state outside the object: it must outlive the thread.
    struct Shared {
        std::promise<void> entered, gate;
        std::atomic<bool> bProcedureDone{false};
    };
    // Held in BeginThreadFunction, then ended there (a throw skips the other
    // hooks), so no virtual call races the destruction.
    struct HeldThread : CmThread {
        explicit HeldThread(Shared& shared) : m_Shared(shared), m_Gate(shared.gate.get_future()) {}
        // Runs before ~CmThread, which must then wait for the procedure.
        ~HeldThread() override { m_Shared.gate.set_value(); }
        void BeginThreadFunction(void*) override
        {
            Shared& shared = m_Shared;
            std::future<void> gate = std::move(m_Gate);
            shared.entered.set_value();
            gate.wait();
            shared.bProcedureDone = true;
            throw NmError::CmError(kLocation, "stop here");
        }
        Shared& m_Shared;
        std::future<void> m_Gate;
    };
    Shared shared;
    auto pThread = std::make_unique<HeldThread>(shared);
    pThread->Run(nullptr);
    shared.entered.get_future().wait();  // the virtual call is over before the destruction starts
    pThread.reset();
    EXPECT_TRUE(shared.bProcedureDone);
}

TEST(CriticalSection, IsRecursiveAndNeedsALeavePerEnter)
{
    NmThread::CmCriticalSection cs;
    bool bOwnerDone = false;  // guarded by cs
    cs.Enter();
    cs.Enter();
    cs.Leave();
    bool bSeenOwnerDone = false;
    std::thread other([&] {
        NmThread::CmCriticalSectionLock lock(cs);
        bSeenOwnerDone = bOwnerDone;
    });
    bOwnerDone = true;  // still held after one Leave
    cs.Leave();
    other.join();
    EXPECT_TRUE(bSeenOwnerDone);
}

TEST(Condition, ManualResetStaysSetAndAutoResetIsConsumedByOneWait)
{
    for (const bool bAutoReset : {false, true}) {
        CmCondition condition(true, bAutoReset);
        EXPECT_TRUE(condition.Wait(0));
        EXPECT_EQ(condition.Wait(1), !bAutoReset);
        condition.Reset();
        EXPECT_FALSE(condition.Wait(1)) << "times out";
        condition.Set();
        condition.Set();
        EXPECT_TRUE(condition.Wait(CmCondition::kInfinite));
        EXPECT_EQ(condition.Wait(0), !bAutoReset);

        CmCondition unset(false, bAutoReset);
        std::thread setter([&] { unset.Set(); });
        EXPECT_TRUE(unset.Wait(CmCondition::kInfinite)) << "a Set from another thread wakes the waiter";
        setter.join();
    }
}

}  // namespace
