// pthread layer of CmThread and CmCriticalSection.
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "platform/Thread.h"

#define THIS_FILE "posix/Thread-OSD.cpp"

namespace NmThread {
namespace {

// Lives on Run's stack until the new thread has published its id. A POSIX
// semaphore may be destroyed as soon as the wait on it returns, which is
// exactly what Run does.
struct CmLaunch {
    CmThread* pOwner;
    std::uint32_t* pThreadId;
    sem_t semStarted;
};

}  // namespace

void* CmThread::ThreadEntry(void* pLaunchArgument)
{
    auto* pLaunch = static_cast<CmLaunch*>(pLaunchArgument);
    CmThread* const pOwner = pLaunch->pOwner;
    *pLaunch->pThreadId = static_cast<std::uint32_t>(gettid());
    sem_post(&pLaunch->semStarted);  // pLaunch is gone from here on
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(pOwner->ExecuteThreadProcedure()));
}

void CmThread::Run(void* pArgument)
{
    m_StartBlock.pArgument = pArgument;
    m_StartBlock.pOwner = this;
    // Cleared before the start, so a thread that ends at once leaves it set.
    m_cndEnd.Reset();

    CmLaunch launch{this, &m_nThreadId, {}};
    sem_init(&launch.semStarted, 0, 0);
    pthread_t hThread;
    if (pthread_create(&hThread, nullptr, &CmThread::ThreadEntry, &launch) != 0) {
        sem_destroy(&launch.semStarted);
        throw CmThreadError(NMERROR_LOCATION("NmThread::CmThread::Run", THIS_FILE), "Error running thread!",
                            kThreadErrorRun);
    }
    m_hThread = hThread;
    while (sem_wait(&launch.semStarted) != 0 && errno == EINTR) {
    }
    sem_destroy(&launch.semStarted);
}

void CmThread::Detach()
{
    if (!m_hThread)
        return;
    try {
        if (const int nResult = pthread_detach(*m_hThread); nResult != 0)
            throw NmError::CmSystemError(NMERROR_LOCATION("NmThread::CmThread::Detach", THIS_FILE), "", nResult);
    } catch (const NmError::CmError& error) {
        throw CmThreadError(NMERROR_LOCATION("NmThread::CmThread::Detach", THIS_FILE), "Error detaching thread!",
                            kThreadErrorDetach, error);
    }
    m_hThread.reset();
}

bool CmThread::Join()
{
    if (!m_hThread)
        return true;
    void* pExitCode = nullptr;
    try {
        // Waiting, reading the exit code and releasing the handle are one
        // call with pthreads. A thread joining itself gets glibc's answer
        // without the call, which thread sanitizers cannot survive.
        const int nResult = pthread_equal(*m_hThread, pthread_self()) ? EDEADLK : pthread_join(*m_hThread, &pExitCode);
        if (nResult != 0)
            throw NmError::CmSystemError(NMERROR_LOCATION("NmThread::CmThread::Join", THIS_FILE), "", nResult);
    } catch (const NmError::CmError& error) {
        throw CmThreadError(NMERROR_LOCATION("NmThread::CmThread::Join", THIS_FILE), "Error joining thread!",
                            kThreadErrorJoin, error);
    }
    m_hThread.reset();
    // A cancelled thread never finished its body.
    return pExitCode != nullptr && pExitCode != PTHREAD_CANCELED;
}

void CmThread::Sleep(std::uint32_t nMilliseconds)
{
    timespec tsRemaining{static_cast<time_t>(nMilliseconds / 1000), static_cast<long>(nMilliseconds % 1000) * 1000000L};
    while (nanosleep(&tsRemaining, &tsRemaining) != 0 && errno == EINTR) {
    }
}

std::uint32_t CmThread::GetThreadHandleValue() const noexcept
{
    // glibc's pthread_t is an integer (the address of the thread's control block).
    return m_hThread ? static_cast<std::uint32_t>(*m_hThread & 0xFFFFFFFFu) : 0;
}

// A recursive mutex initialised from a valid attribute cannot fail on Linux,
// which is why Enter and Leave raise nothing.
CmCriticalSection::CmCriticalSection()
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_csSection, &attr);
    pthread_mutexattr_destroy(&attr);
}

CmCriticalSection::~CmCriticalSection() { pthread_mutex_destroy(&m_csSection); }

void CmCriticalSection::Enter() { pthread_mutex_lock(&m_csSection); }

void CmCriticalSection::Leave() { pthread_mutex_unlock(&m_csSection); }

bool CmCriticalSection::TryEnterFor(std::uint32_t nMilliseconds)
{
    // pthread_mutex_timedlock measures on CLOCK_REALTIME; a clock step during
    // so short a wait only lengthens or shortens one attempt.
    timespec tsUntil{};
    clock_gettime(CLOCK_REALTIME, &tsUntil);
    tsUntil.tv_sec += static_cast<time_t>(nMilliseconds / 1000);
    tsUntil.tv_nsec += static_cast<long>(nMilliseconds % 1000) * 1000000L;
    if (tsUntil.tv_nsec >= 1000000000L) {
        ++tsUntil.tv_sec;
        tsUntil.tv_nsec -= 1000000000L;
    }
    int nResult;
    while ((nResult = pthread_mutex_timedlock(&m_csSection, &tsUntil)) == EINTR) {
    }
    return nResult == 0;
}

}  // namespace NmThread
