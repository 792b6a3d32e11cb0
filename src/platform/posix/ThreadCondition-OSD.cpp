// pthread layer of CmCondition: an event made of a mutex, a condition
// variable on CLOCK_MONOTONIC and the set state.
#include <pthread.h>

#include <cerrno>
#include <ctime>
#include <exception>

#include "platform/Thread.h"

#define THIS_FILE "posix/ThreadCondition-OSD.cpp"

namespace NmThread {
namespace {

// Raises a CmSystemError for a pthread result code (nResult != 0).
[[noreturn]] void ThrowSystemError(int nResult, const char* szLocation, const char* szMessage)
{
    errno = nResult;
    throw NmError::CmSystemError(szLocation, szMessage);
}

timespec DeadlineAfter(std::uint32_t nMilliseconds)
{
    timespec tsDeadline{};
    clock_gettime(CLOCK_MONOTONIC, &tsDeadline);
    tsDeadline.tv_sec += static_cast<time_t>(nMilliseconds / 1000);
    tsDeadline.tv_nsec += static_cast<long>(nMilliseconds % 1000) * 1000000L;
    if (tsDeadline.tv_nsec >= 1000000000L) {
        tsDeadline.tv_sec += 1;
        tsDeadline.tv_nsec -= 1000000000L;
    }
    return tsDeadline;
}

} // namespace

CmCondition::CmCondition(bool bInitiallySet, bool bAutoReset)
{
    constexpr const char* szLocation = NMERROR_LOCATION("NmThread::CmCondition::CmCondition", THIS_FILE);
    m_hEvent.bSet = bInitiallySet;
    m_hEvent.bAutoReset = bAutoReset;
    try {
        if (const int nResult = pthread_mutex_init(&m_hEvent.mtxState, nullptr); nResult != 0)
            ThrowSystemError(nResult, szLocation, "Creating event handle failed!");

        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        const int nResult = pthread_cond_init(&m_hEvent.cndChanged, &attr);
        pthread_condattr_destroy(&attr);
        if (nResult != 0) {
            pthread_mutex_destroy(&m_hEvent.mtxState);
            ThrowSystemError(nResult, szLocation, "Creating event handle failed!");
        }
    } catch (const NmError::CmError& error) {
        throw CmConditionVariableError(szLocation, "Error initializing condition!", kConditionErrorCreate, error);
    }
}

CmCondition::~CmCondition() noexcept(false)
{
    constexpr const char* szLocation = NMERROR_LOCATION("NmThread::CmCondition::~CmCondition", THIS_FILE);
    const int nCondResult = pthread_cond_destroy(&m_hEvent.cndChanged);
    const int nMutexResult = pthread_mutex_destroy(&m_hEvent.mtxState);
    const int nResult = nCondResult != 0 ? nCondResult : nMutexResult;
    // Throwing while another exception unwinds would end the process.
    if (nResult == 0 || std::uncaught_exceptions() > 0)
        return;
    try {
        ThrowSystemError(nResult, szLocation, "Closing event handle failed!");
    } catch (const NmError::CmError& error) {
        throw CmConditionVariableError(szLocation, "Error deinitializing condition!", kConditionErrorDestroy, error);
    }
}

void CmCondition::Set()
{
    constexpr const char* szLocation = NMERROR_LOCATION("NmThread::CmCondition::Set", THIS_FILE);
    try {
        if (const int nResult = pthread_mutex_lock(&m_hEvent.mtxState); nResult != 0)
            ThrowSystemError(nResult, szLocation, "Error setting event!");
        m_hEvent.bSet = true;
        // Notified under the lock: a waiter that returns and destroys the
        // condition cannot do so while the broadcast is still running.
        const int nResult = m_hEvent.bAutoReset ? pthread_cond_signal(&m_hEvent.cndChanged)
                                                : pthread_cond_broadcast(&m_hEvent.cndChanged);
        pthread_mutex_unlock(&m_hEvent.mtxState);
        if (nResult != 0)
            ThrowSystemError(nResult, szLocation, "Error setting event!");
    } catch (const NmError::CmError& error) {
        throw CmConditionVariableError(szLocation, "Error setting condition!", kConditionErrorSet, error);
    }
}

void CmCondition::Reset()
{
    constexpr const char* szLocation = NMERROR_LOCATION("NmThread::CmCondition::Reset", THIS_FILE);
    try {
        if (const int nResult = pthread_mutex_lock(&m_hEvent.mtxState); nResult != 0)
            ThrowSystemError(nResult, szLocation, "Error resetting event!");
        m_hEvent.bSet = false;
        pthread_mutex_unlock(&m_hEvent.mtxState);
    } catch (const NmError::CmError& error) {
        throw CmConditionVariableError(szLocation, "Error resetting condition!", kConditionErrorReset, error);
    }
}

bool CmCondition::Wait(std::uint32_t nMilliseconds)
{
    constexpr const char* szLocation = NMERROR_LOCATION("NmThread::CmCondition::Wait", THIS_FILE);
    try {
        const timespec tsDeadline = DeadlineAfter(nMilliseconds == kInfinite ? 0 : nMilliseconds);
        if (const int nResult = pthread_mutex_lock(&m_hEvent.mtxState); nResult != 0)
            ThrowSystemError(nResult, szLocation, "Error waiting for event!");
        int nResult = 0;
        while (!m_hEvent.bSet && nResult == 0) {
            nResult = nMilliseconds == kInfinite
                          ? pthread_cond_wait(&m_hEvent.cndChanged, &m_hEvent.mtxState)
                          : pthread_cond_timedwait(&m_hEvent.cndChanged, &m_hEvent.mtxState, &tsDeadline);
        }
        const bool bWasSet = m_hEvent.bSet;
        if (bWasSet && m_hEvent.bAutoReset)
            m_hEvent.bSet = false;
        pthread_mutex_unlock(&m_hEvent.mtxState);
        if (!bWasSet && nResult != ETIMEDOUT)
            ThrowSystemError(nResult, szLocation, "Error waiting for event!");
        return bWasSet;
    } catch (const NmError::CmError& error) {
        throw CmConditionVariableError(szLocation, "Error waiting for condition!", kConditionErrorWait, error);
    }
}

} // namespace NmThread
