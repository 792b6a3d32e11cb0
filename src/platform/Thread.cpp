// The platform-independent part of CmThread: construction, the default
// hooks and the thread procedure. The pthread calls are in posix/Thread-OSD.cpp.
#include "platform/Thread.h"

namespace NmThread {

CmThread::CmThread() : m_cndEnd(false, false) {}

CmThread::~CmThread() noexcept
{
    if (!m_hThread)
        return;
    try {
        Join();
    } catch (const NmError::CmError&) {
        // Join failed (e.g. called from the thread itself): at least do not
        // leave an unjoinable thread behind.
        try {
            Detach();
        } catch (const NmError::CmError&) {
        }
    }
}

void CmThread::BeginThreadFunction(void*) {}

void CmThread::EndThreadFunction(void*) {}

bool CmThread::ThreadFunction(void*) { return true; }

unsigned CmThread::ExecuteThreadProcedure()
{
    void* const pArgument = m_StartBlock.pArgument;
    try {
        BeginThreadFunction(pArgument);
    } catch (const NmError::CmError&) {
        m_cndEnd.Set();
        return 0;
    }

    bool bOk = false;
    try {
        bOk = ThreadFunction(pArgument);
    } catch (const NmError::CmError&) {
        bOk = false;
    }

    try {
        EndThreadFunction(pArgument);
    } catch (const NmError::CmError&) {
    }

    // Last touch of the object: once the end is signalled the owner may
    // detach and destroy it.
    m_cndEnd.Set();
    return bOk ? 1 : 0;
}

}  // namespace NmThread
