// Synchronisation objects: an abstract kernel-object wrapper with a critical
// section, an event and a mutex, and the scoped lock holder CTSSyncLock.
#ifndef COMMON_FILES_COMMON_MT_H
#define COMMON_FILES_COMMON_MT_H

#include "common/KspPlatform.h"
#include "common/KspString.h"

class CTSSyncObject
{
public:
    virtual ~CTSSyncObject();
    // TRUE when the object was obtained within dwTimeout milliseconds.
    virtual BOOL Lock(DWORD dwTimeout);
    virtual BOOL Unlock() = 0;

    HANDLE GetHandle() const { return m_hObject; }

protected:
    explicit CTSSyncObject(LPCWSTR pszName);

    HANDLE m_hObject;
    KSP_WSTRING m_strName;

private:
    CTSSyncObject(const CTSSyncObject &);
    CTSSyncObject &operator=(const CTSSyncObject &);
};

class CTSCriticalSection : public CTSSyncObject
{
public:
    CTSCriticalSection();
    ~CTSCriticalSection() override;
    // The time-out does not apply: entering a critical section always waits.
    BOOL Lock(DWORD dwTimeout) override;
    BOOL Unlock() override;
    virtual BOOL Enter();

private:
    CRITICAL_SECTION m_cs;
};

class CTSEvent : public CTSSyncObject
{
public:
    // Throws the last-error value (a DWORD) when the event cannot be created.
    CTSEvent(BOOL fInitialState, BOOL fManualReset, LPCWSTR pszName, LPSECURITY_ATTRIBUTES pSecurityAttributes);
    ~CTSEvent() override;
    BOOL Unlock() override;
    BOOL Set();
    BOOL Reset();
};

class CTSMutex : public CTSSyncObject
{
public:
    // Throws the last-error value (a DWORD) when the mutex cannot be created.
    CTSMutex(BOOL fInitiallyOwned, LPCWSTR pszName, LPSECURITY_ATTRIBUTES pSecurityAttributes);
    ~CTSMutex() override;
    BOOL Unlock() override;
};

// Holds a synchronisation object for the lifetime of a scope.
class CTSSyncLock
{
public:
    CTSSyncLock(CTSSyncObject *pObject, BOOL fLockAtOnce);
    ~CTSSyncLock();
    BOOL Lock(DWORD dwTimeout);
    // TRUE when the holder no longer holds the object.
    BOOL Unlock();

    BOOL IsAcquired() const { return m_fAcquired; }

private:
    CTSSyncLock(const CTSSyncLock &);
    CTSSyncLock &operator=(const CTSSyncLock &);

    CTSSyncObject *m_pObject;
    HANDLE m_hObject;
    BOOL m_fAcquired;
};

// The one lock of the module: every implemented table entry runs under it.
extern CTSCriticalSection g_csKsp;

#endif
