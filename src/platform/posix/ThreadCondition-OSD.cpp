// pthread layer of CmCondition: an event made of a mutex, a condition
// variable on CLOCK_MONOTONIC and the set state.
#include <pthread.h>

#include <cerrno>
#include <ctime>
#include <exception>

#include "platform/Thread.h"

#define THIS_FILE "posix/ThreadCondition-OSD.cpp"

// The location of a raise in operation szName of CmCondition, at its own line.
#define CONDITION_LOCATION(szName) NMERROR_LOCATION("NmThread::CmCondition::" szName, THIS_FILE)

namespace NmThread {
namespace {

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

}  // namespace

CmCondition::CmCondition(bool bInitiallySet, bool bAutoReset)
{
    m_hEvent.bSet = bInitiallySet;
    m_hEvent.bAutoReset = bAutoReset;
    try {
        if (const int nResult = pthread_mutex_init(&m_hEvent.mtxState, nullptr); nResult != 0)
            throw NmError::CmSystemError(CONDITION_LOCATION("CmCondition"), "Creating event handle failed!", nResult);

        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        const int nResult = pthread_cond_init(&m_hEvent.cndChanged, &attr);
        pthread_condattr_destroy(&attr);
        if (nResult != 0) {
            pthread_mutex_destroy(&m_hEvent.mtxState);
            throw NmError::CmSystemError(CONDITION_LOCATION("CmCondition"), "Creating event handle failed!", nResult);
        }
    } catch (const NmError::CmError& error) {
        throw CmConditionVariableError(CONDITION_LOCATION("CmCondition"), "Error initializing condition!",
                                       kConditionErrorCreate, error);
    }
}

CmCondition::~CmCondition() noexcept(false)
{
    const int nCondResult = pthread_cond_destroy(&m_hEvent.cndChanged);
    const int nMutexResult = pthread_mutex_destroy(&m_hEvent.mtxState);
    const int nResult = nCondResult != 0 ? nCondResult : nMutexResult;
    // Throwing while another exception unwinds would end the process.
    if (nResult == 0 || std::uncaught_exceptions() > 0)
        return;
    try {
        throw NmError::CmSystemError(CONDITION_LOCATION("~CmCondition"), "Closing event handle failed!", nResult);
    } catch (const NmError::CmError& error) {
        throw CmConditionVariableError(CONDITION_LOCATION("~CmCondition"), "Error deinitializing condition!",
                                       kConditionErrorDestroy, error);
    }
}

void CmCondition::Set()
{
    try {
        if (const int nResult = pthread_mutex_lock(&m_hEvent.mtxState); nResult != 0)
            throw NmError::CmSystemError(CONDITION_LOCATION("Set"), "Error setting event!", nResult);
        m_hEvent.bSet = true;
        // Notified under the lock: a waiter that returns and destroys the
        // condition cannot do so while the broadcast is still running.
        const int nResult = m_hEvent.bAutoReset ? pthread_cond_signal(&m_hEvent.cndChanged)
                                                : pthread_cond_broadcast(&m_hEvent.cndChanged);
        pthread_mutex_unlock(&m_hEvent.mtxState);
        if (nResult != 0)
            throw NmError::CmSystemError(CONDITION_LOCATION("Set"), "Error setting event!", nResult);
    } catch (const NmError::CmError& error) {
        throw CmConditionVariableError(CONDITION_LOCATION("Set"), "Error setting condition!", kConditionErrorSet,
                                       error);
    }
}

void CmCondition::Reset()
{
    try {
        if (const int nResult = pthread_mutex_lock(&m_hEvent.mtxState); nResult != 0)
            throw NmError::CmSystemError(CONDITION_LOCATION("Reset"), "Error resetting event!", nResult);
        m_hEvent.bSet = false;
        pthread_mutex_unlock(&m_hEvent.mtxState);
    } catch (const NmError::CmError& error) {
        throw CmConditionVariableError(CONDITION_LOCATION("Reset"), "Error resetting condition!", kConditionErrorReset,
                                       error);
    }
}

bool CmCondition::Wait(std::uint32_t nMilliseconds)
{
    try {
        const timespec tsDeadline = DeadlineAfter(nMilliseconds == kInfinite ? 0 : nMilliseconds);
        if (const int nResult = pthread_mutex_lock(&m_hEvent.mtxState); nResult != 0)
            throw NmError::CmSystemError(CONDITION_LOCATION("Wait"), "Error waiting for event!", nResult);
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
            throw NmError::CmSystemError(CONDITION_LOCATION("Wait"), "Error waiting for event!", nResult);
        return bWasSet;
    } catch (const NmError::CmError& error) {
        throw CmConditionVariableError(CONDITION_LOCATION("Wait"), "Error waiting for condition!", kConditionErrorWait,
                                       error);
    }
}

}  // namespace NmThread
