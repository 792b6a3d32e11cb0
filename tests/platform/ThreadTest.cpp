// Threads, critical sections and conditions, driven through real threads.
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Thread.h"

namespace {

using NmThread::CmCondition;
using NmThread::CmThread;

constexpr const char* kTestLocation = "NmTest::Thread (line posix/Test-OSD.cpp, 1)";

// Opened once by one thread, awaited by others.
class CmGate
{
public:
    void Open()
    {
        std::lock_guard lock(m_mtx);
        m_bOpen = true;
        m_cnd.notify_all();
    }
    void AwaitOpen()
    {
        std::unique_lock lock(m_mtx);
        m_cnd.wait(lock, [this] { return m_bOpen; });
    }

private:
    std::mutex m_mtx;
    std::condition_variable m_cnd;
    bool m_bOpen = false;
};

enum class Body
{
    ReturnTrue,
    ReturnFalse,
    Throw
};

// Records which hooks ran; the body can be held at a gate.
class ProbeThread : public CmThread
{
public:
    explicit ProbeThread(Body eBody, bool bBeginThrows = false, CmGate* pGate = nullptr)
        : m_eBody(eBody), m_bBeginThrows(bBeginThrows), m_pGate(pGate)
    {
    }
    ~ProbeThread() override { Join(); }

    void BeginThreadFunction(void* pArgument) override
    {
        m_pBeginArgument = pArgument;
        if (m_bBeginThrows)
            throw NmError::CmError(kTestLocation, "begin failed");
    }
    bool ThreadFunction(void*) override
    {
        m_nBodyThreadId = static_cast<std::uint32_t>(gettid());
        if (m_pGate != nullptr)
            m_pGate->AwaitOpen();
        m_bBodyRan = true;
        if (m_eBody == Body::Throw)
            throw NmError::CmError(kTestLocation, "body failed");
        return m_eBody == Body::ReturnTrue;
    }
    void EndThreadFunction(void*) override
    {
        m_bEndRan = true;
        throw NmError::CmError(kTestLocation, "end failures are swallowed");
    }

    void* m_pBeginArgument = nullptr;
    std::uint32_t m_nBodyThreadId = 0;
    std::atomic<bool> m_bBodyRan{false};
    std::atomic<bool> m_bEndRan{false};

private:
    const Body m_eBody;
    const bool m_bBeginThrows;
    CmGate* const m_pGate;
};

TEST(ThreadJoin, NeverRunReturnsTrueAtOnce)
{
    CmThread thread;
    EXPECT_FALSE(thread.HasThreadHandle());
    EXPECT_EQ(thread.GetThreadHandleValue(), 0u);
    EXPECT_EQ(thread.GetThreadId(), 0u);
    EXPECT_TRUE(thread.Join());
}

TEST(ThreadJoin, ReportsTheBodysOutcome)
{
    int nArgument = 0;
    for (const auto& [eBody, bExpected] : {std::pair{Body::ReturnTrue, true}, std::pair{Body::ReturnFalse, false},
                                          std::pair{Body::Throw, false}}) {
        ProbeThread thread(eBody);
        thread.Run(&nArgument);
        EXPECT_EQ(thread.Join(), bExpected);
        EXPECT_FALSE(thread.HasThreadHandle());
        EXPECT_EQ(thread.m_pBeginArgument, &nArgument);
        EXPECT_TRUE(thread.m_bBodyRan);
        EXPECT_TRUE(thread.m_bEndRan) << "EndThreadFunction runs after every body";
        EXPECT_TRUE(thread.GetEndCondition().Wait(0));
    }
}

TEST(ThreadJoin, FailingBeginSkipsBodyAndEnd)
{
    ProbeThread thread(Body::ReturnTrue, true);
    thread.Run(nullptr);
    EXPECT_FALSE(thread.Join());
    EXPECT_FALSE(thread.m_bBodyRan);
    EXPECT_FALSE(thread.m_bEndRan);
    EXPECT_TRUE(thread.GetEndCondition().Wait(0));
}

TEST(ThreadJoin, JoiningFromTheThreadItselfFailsWithDeadlock)
{
    struct SelfJoiner : CmThread
    {
        ~SelfJoiner() override { Join(); }
        bool ThreadFunction(void*) override
        {
            gate.AwaitOpen(); // until Run has stored the handle
            try {
                Join();
            } catch (const NmThread::CmThreadError& error) {
                nCode = error.GetCode();
                strWhat = error.what();
                if (const auto* pCause = dynamic_cast<const NmError::CmSystemError*>(error.GetCause())) {
                    nCauseCode = pCause->GetCode();
                    strCause = pCause->what();
                }
            }
            tried.Open(); // two joiners at once would confuse the sanitizers
            return true;
        }
        CmGate gate;
        CmGate tried;
        std::uint32_t nCode = 99;
        std::uint32_t nCauseCode = 0;
        std::string strWhat;
        std::string strCause;
    };

    SelfJoiner thread;
    thread.Run(nullptr);
    thread.gate.Open();
    thread.tried.AwaitOpen();
    EXPECT_TRUE(thread.Join()) << "the failed self-join leaves the handle to its owner";
    EXPECT_EQ(thread.nCode, NmThread::kThreadErrorJoin);
    EXPECT_EQ(thread.strWhat, "Error joining thread!");
    EXPECT_EQ(thread.nCauseCode, static_cast<std::uint32_t>(EDEADLK));
    EXPECT_EQ(thread.strCause, " : Resource deadlock avoided");
}

TEST(ThreadEndCondition, ClearWhileTheBodyRunsAndSetAfterEnd)
{
    CmGate gate;
    ProbeThread thread(Body::ReturnTrue, false, &gate);
    thread.GetEndCondition().Set(); // Run must clear a stale end
    thread.Run(nullptr);
    EXPECT_FALSE(thread.GetEndCondition().Wait(0));
    EXPECT_TRUE(thread.HasThreadHandle());
    EXPECT_NE(thread.GetThreadId(), static_cast<std::uint32_t>(gettid()));
    gate.Open();
    EXPECT_TRUE(thread.GetEndCondition().Wait(CmCondition::kInfinite));
    EXPECT_TRUE(thread.m_bEndRan) << "the end is signalled after EndThreadFunction";
    EXPECT_TRUE(thread.GetEndCondition().Wait(0)) << "manual reset: stays set";
    EXPECT_TRUE(thread.Join());
    EXPECT_EQ(thread.GetThreadId(), thread.m_nBodyThreadId) << "the id is the new thread's gettid()";
    EXPECT_EQ(thread.GetThreadHandleValue(), 0u);
}

TEST(ThreadDetach, GivesUpTheHandleAndTheThreadRunsOn)
{
    CmGate gate;
    ProbeThread thread(Body::ReturnFalse, false, &gate);
    thread.Run(nullptr);
    thread.Detach();
    EXPECT_FALSE(thread.HasThreadHandle());
    EXPECT_EQ(thread.GetThreadHandleValue(), 0u);
    thread.Detach(); // a second Detach does nothing
    EXPECT_TRUE(thread.Join()) << "nothing left to join";

    gate.Open();
    EXPECT_TRUE(thread.GetEndCondition().Wait(CmCondition::kInfinite));
    EXPECT_TRUE(thread.m_bBodyRan);
}

TEST(ThreadDestructor, WaitsForTheThreadProcedure)
{
    // Shared state outside the object: it must outlive the thread.
    struct Shared
    {
        CmGate entered;
        CmGate gate;
        std::atomic<bool> bProcedureDone{false};
    };
    // Holds the thread in BeginThreadFunction, then ends it there (a throw
    // skips the other hooks), so no virtual call races the destruction.
    struct HeldThread : CmThread
    {
        explicit HeldThread(Shared& shared) : m_Shared(shared) {}
        // Runs before ~CmThread, which must then wait for the procedure.
        ~HeldThread() override { m_Shared.gate.Open(); }
        void BeginThreadFunction(void*) override
        {
            Shared& shared = m_Shared;
            shared.entered.Open();
            shared.gate.AwaitOpen();
            shared.bProcedureDone = true;
            throw NmError::CmError(kTestLocation, "stop here");
        }
        Shared& m_Shared;
    };

    Shared shared;
    auto pThread = std::make_unique<HeldThread>(shared);
    pThread->Run(nullptr);
    // The virtual call into BeginThreadFunction is over before destruction
    // starts rewriting the object's vtable pointer.
    shared.entered.AwaitOpen();
    pThread.reset();
    EXPECT_TRUE(shared.bProcedureDone);
}

TEST(CriticalSection, IsRecursiveAndNeedsALeavePerEnter)
{
    NmThread::CmCriticalSection cs;
    bool bOwnerDone = false; // guarded by cs
    cs.Enter();
    cs.Enter();
    cs.Leave();

    bool bSeenOwnerDone = false;
    std::thread other([&] {
        NmThread::CmCriticalSectionLock lock(cs);
        bSeenOwnerDone = bOwnerDone;
    });
    bOwnerDone = true; // still held after one Leave
    cs.Leave();
    other.join();
    EXPECT_TRUE(bSeenOwnerDone);
}

TEST(Condition, ManualResetStaysSetUntilReset)
{
    CmCondition condition(false, false);
    EXPECT_FALSE(condition.Wait(0));
    condition.Set();
    EXPECT_TRUE(condition.Wait(0));
    EXPECT_TRUE(condition.Wait(1));
    condition.Reset();
    EXPECT_FALSE(condition.Wait(1));

    CmCondition initiallySet(true, false);
    EXPECT_TRUE(initiallySet.Wait(0));
}

TEST(Condition, AutoResetIsConsumedByOneWait)
{
    CmCondition condition(true, true);
    EXPECT_TRUE(condition.Wait(0));
    EXPECT_FALSE(condition.Wait(0));
    condition.Set();
    condition.Set();
    EXPECT_TRUE(condition.Wait(CmCondition::kInfinite));
    EXPECT_FALSE(condition.Wait(1));
}

TEST(Condition, SetFromAnotherThreadWakesAWaiter)
{
    for (const bool bAutoReset : {false, true}) {
        CmCondition condition(false, bAutoReset);
        std::thread setter([&] { condition.Set(); });
        EXPECT_TRUE(condition.Wait(CmCondition::kInfinite));
        setter.join();
    }
}

} // namespace
