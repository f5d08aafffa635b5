#include "COMMON_FILES/Common/mt.h"

#include "common/KspAssert.h"

#define MT_UNIT TEXT("COMMON_FILES/Common/mt")

CTSSyncObject::CTSSyncObject(LPCWSTR pszName) : m_hObject(NULL), m_strName()
{
    if (pszName != NULL) {
        m_strName = pszName;
    }
}

CTSSyncObject::~CTSSyncObject()
{
    if (m_hObject != NULL) {
        CloseHandle(m_hObject);
        m_hObject = NULL;
    }
}

BOOL CTSSyncObject::Lock(DWORD dwTimeout)
{
    // Only a wait that obtained the object counts: an abandoned mutex, a
    // time-out and a failed wait all leave the caller without it.
    return WaitForSingleObject(m_hObject, dwTimeout) == WAIT_OBJECT_0 ? TRUE : FALSE;
}

CTSCriticalSection::CTSCriticalSection() : CTSSyncObject(NULL)
{
    InitializeCriticalSection(&m_cs);
}

CTSCriticalSection::~CTSCriticalSection()
{
    DeleteCriticalSection(&m_cs);
}

BOOL CTSCriticalSection::Lock(DWORD /*dwTimeout*/)
{
    return Enter();
}

BOOL CTSCriticalSection::Unlock()
{
    LeaveCriticalSection(&m_cs);
    return TRUE;
}

BOOL CTSCriticalSection::Enter()
{
    EnterCriticalSection(&m_cs);
    return TRUE;
}

CTSEvent::CTSEvent(BOOL fInitialState, BOOL fManualReset, LPCWSTR pszName, LPSECURITY_ATTRIBUTES pSecurityAttributes)
    : CTSSyncObject(pszName)
{
    m_hObject = CreateEventW(pSecurityAttributes, fManualReset, fInitialState, pszName);
    if (m_hObject == NULL) {
        throw static_cast<DWORD>(GetLastError());
    }
}

CTSEvent::~CTSEvent() {}

BOOL CTSEvent::Unlock()
{
    return TRUE;
}

BOOL CTSEvent::Set()
{
    KSP_ASSERT(m_hObject != NULL, MT_UNIT);
    return SetEvent(m_hObject);
}

BOOL CTSEvent::Reset()
{
    KSP_ASSERT(m_hObject != NULL, MT_UNIT);
    return ResetEvent(m_hObject);
}

CTSMutex::CTSMutex(BOOL fInitiallyOwned, LPCWSTR pszName, LPSECURITY_ATTRIBUTES pSecurityAttributes)
    : CTSSyncObject(pszName)
{
    m_hObject = CreateMutexW(pSecurityAttributes, fInitiallyOwned, pszName);
    if (m_hObject == NULL) {
        throw static_cast<DWORD>(GetLastError());
    }
}

CTSMutex::~CTSMutex() {}

BOOL CTSMutex::Unlock()
{
    return ReleaseMutex(m_hObject);
}

CTSSyncLock::CTSSyncLock(CTSSyncObject *pObject, BOOL fLockAtOnce)
    : m_pObject(pObject), m_hObject(pObject != NULL ? pObject->GetHandle() : NULL), m_fAcquired(FALSE)
{
    KSP_ASSERT_TEXT(pObject != NULL, TEXT("PpObject != NULL"), MT_UNIT);
    if (fLockAtOnce) {
        Lock(INFINITE);
    }
}

CTSSyncLock::~CTSSyncLock()
{
    Unlock();
}

BOOL CTSSyncLock::Lock(DWORD dwTimeout)
{
    KSP_ASSERT(m_pObject != NULL || m_hObject != NULL, MT_UNIT);
    KSP_ASSERT(!m_fAcquired, MT_UNIT);
    if (m_pObject != NULL) {
        m_fAcquired = m_pObject->Lock(dwTimeout);
    }
    return m_fAcquired;
}

BOOL CTSSyncLock::Unlock()
{
    KSP_ASSERT(m_pObject != NULL, MT_UNIT);
    if (m_pObject != NULL && m_fAcquired) {
        m_fAcquired = !m_pObject->Unlock();
    }
    return !m_fAcquired;
}
