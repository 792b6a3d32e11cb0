// NmThread: a thread object with a virtual body, a recursive critical
// section and an event-like condition, on pthreads.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <optional>

#include "platform/Error.h"

namespace NmThread {

// Operation codes of CmThreadError.
constexpr std::uint32_t kThreadErrorRun = 0;
constexpr std::uint32_t kThreadErrorDetach = 2;
constexpr std::uint32_t kThreadErrorJoin = 4;

// Operation codes of CmConditionVariableError.
constexpr std::uint32_t kConditionErrorCreate = 5;
constexpr std::uint32_t kConditionErrorDestroy = 6;
constexpr std::uint32_t kConditionErrorSet = 7;
constexpr std::uint32_t kConditionErrorReset = 8;
constexpr std::uint32_t kConditionErrorWait = 9;

class CmThreadError final : public NmError::CmOperationError<CmThreadError> {
public:
    using CmOperationError::CmOperationError;
};

class CmConditionVariableError final : public NmError::CmOperationError<CmConditionVariableError> {
public:
    using CmOperationError::CmOperationError;
};

class CmCriticalSectionOS {
public:
    virtual ~CmCriticalSectionOS() = default;
};

// Recursive lock: the owning thread may Enter again and must Leave as often.
// Neither operation raises anything.
class CmCriticalSection : public CmCriticalSectionOS {
public:
    CmCriticalSection();
    ~CmCriticalSection() override;
    CmCriticalSection(const CmCriticalSection&) = delete;
    CmCriticalSection& operator=(const CmCriticalSection&) = delete;

    void Enter();
    void Leave();
    // Enters unless another thread keeps it for nMilliseconds; true when
    // entered (then Leave as after Enter).
    bool TryEnterFor(std::uint32_t nMilliseconds);

private:
    pthread_mutex_t m_csSection;
};

// Holds a critical section for the extent of a block, on every path out.
class CmCriticalSectionLock {
public:
    explicit CmCriticalSectionLock(CmCriticalSection& csSection) : m_csSection(csSection) { m_csSection.Enter(); }
    ~CmCriticalSectionLock() { m_csSection.Leave(); }
    CmCriticalSectionLock(const CmCriticalSectionLock&) = delete;
    CmCriticalSectionLock& operator=(const CmCriticalSectionLock&) = delete;

private:
    CmCriticalSection& m_csSection;
};

// Holds a critical section for the extent of a block when it could be
// entered within nMilliseconds; test it before use.
class CmCriticalSectionTryLock {
public:
    CmCriticalSectionTryLock(CmCriticalSection& csSection, std::uint32_t nMilliseconds)
        : m_csSection(csSection), m_bEntered(csSection.TryEnterFor(nMilliseconds))
    {
    }
    ~CmCriticalSectionTryLock()
    {
        if (m_bEntered)
            m_csSection.Leave();
    }
    CmCriticalSectionTryLock(const CmCriticalSectionTryLock&) = delete;
    CmCriticalSectionTryLock& operator=(const CmCriticalSectionTryLock&) = delete;

    explicit operator bool() const noexcept { return m_bEntered; }

private:
    CmCriticalSection& m_csSection;
    const bool m_bEntered;
};

class CmConditionOS {
public:
    virtual ~CmConditionOS() noexcept(false) = default;
};

// An event: manual reset (stays set until Reset) or auto reset (one
// successful Wait consumes the set state).
class CmCondition : public CmConditionOS {
public:
    static constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

    CmCondition(bool bInitiallySet, bool bAutoReset);
    // Raises CmConditionVariableError when the event cannot be released
    // (never while another exception is unwinding).
    ~CmCondition() noexcept(false) override;
    CmCondition(const CmCondition&) = delete;
    CmCondition& operator=(const CmCondition&) = delete;

    void Set();
    void Reset();
    // Waits until the event is set, at most nMilliseconds (kInfinite: no
    // limit). True when it was set; an auto-reset event is cleared again.
    bool Wait(std::uint32_t nMilliseconds);

private:
    struct CmEvent {
        pthread_mutex_t mtxState;
        pthread_cond_t cndChanged;
        bool bSet;
        bool bAutoReset;
    };
    CmEvent m_hEvent;
};

class CmThreadOS {
public:
    virtual ~CmThreadOS() = default;
};

// A thread whose body is ThreadFunction. One controlling thread per object
// calls Run, Detach and Join.
class CmThread : public CmThreadOS {
public:
    CmThread();
    // Joins a thread whose handle is still held. Never destroy the object
    // from its own thread while the handle is held.
    ~CmThread() noexcept override;
    CmThread(const CmThread&) = delete;
    CmThread& operator=(const CmThread&) = delete;

    // Runs in the new thread before the body; a CmError from it skips the
    // body and EndThreadFunction.
    virtual void BeginThreadFunction(void* pArgument);
    // Runs in the new thread after the body; a CmError from it is swallowed.
    virtual void EndThreadFunction(void* pArgument);
    // The body; a CmError from it counts as false.
    virtual bool ThreadFunction(void* pArgument);

    // Starts the thread; returns once its id is known.
    void Run(void* pArgument);
    // Gives up the handle; the thread goes on running.
    void Detach();
    // Waits for the thread and releases the handle. True when the body
    // returned true; false when it returned false or raised a CmError, or
    // when BeginThreadFunction raised one. True without a handle.
    bool Join();

    // Suspends the calling thread, resuming after signal interruptions.
    static void Sleep(std::uint32_t nMilliseconds);

    // gettid() of the thread started by the last Run; 0 before any Run.
    std::uint32_t GetThreadId() const noexcept { return m_nThreadId; }
    // The low 32 bits of the thread handle; 0 when no handle is held.
    std::uint32_t GetThreadHandleValue() const noexcept;
    bool HasThreadHandle() const noexcept { return m_hThread.has_value(); }
    // Manual reset; set once the thread procedure has finished.
    CmCondition& GetEndCondition() noexcept { return m_cndEnd; }

private:
    struct CmStartBlock {
        void* pArgument = nullptr;
        CmThread* pOwner = nullptr;
    };

    static void* ThreadEntry(void* pLaunch);
    // The thread procedure: the hooks and the body; 1 when the body succeeded.
    unsigned ExecuteThreadProcedure();

    std::uint32_t m_nThreadId = 0;
    std::optional<pthread_t> m_hThread;
    CmStartBlock m_StartBlock;
    CmCondition m_cndEnd;
};

}  // namespace NmThread
