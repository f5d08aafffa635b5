// Status errors: every failure below the entry points is thrown as one of
// these, by value, and caught by reference to CKspBaseError.
#ifndef KSP_ERROR_H
#define KSP_ERROR_H

#include "common/KspPlatform.h"

class CKspBaseError
{
public:
    virtual ~CKspBaseError() {}
    virtual SECURITY_STATUS GetStatus() const = 0;

protected:
    constexpr explicit CKspBaseError(DWORD dwError) : m_dwError(dwError) {}
    CKspBaseError(const CKspBaseError &errOther) : m_dwError(errOther.m_dwError) {}
    CKspBaseError &operator=(const CKspBaseError &errOther)
    {
        m_dwError = errOther.m_dwError;
        return *this;
    }

    DWORD m_dwError;
};

// A status that the module chose; returned unchanged.
class CKspError : public CKspBaseError
{
public:
    constexpr explicit CKspError(SECURITY_STATUS status) : CKspBaseError(static_cast<DWORD>(status)) {}
    CKspError(const CKspError &errOther) : CKspBaseError(errOther) {}
    ~CKspError() override {}
    SECURITY_STATUS GetStatus() const override;
};

// The last-error value of a failed CryptoAPI call, read right after the call.
class CKspCapiError : public CKspBaseError
{
public:
    explicit CKspCapiError(DWORD dwLastError) : CKspBaseError(dwLastError) {}
    CKspCapiError(const CKspCapiError &errOther) : CKspBaseError(errOther) {}
    ~CKspCapiError() override {}
    SECURITY_STATUS GetStatus() const override;
};

// The prebuilt out-of-memory error; thrown as a copy, never changed. Its
// constructor is constexpr, so it is constant-initialised: it exists before
// any of the module's code runs, also while the other static objects are
// built, which allocate and may run out of memory.
extern const CKspError g_errNoMemory;

#endif
