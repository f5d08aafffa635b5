// Provider and key objects of the test's own making, derived from the
// module's abstract bases: they journal what is done to them, record the
// arguments they receive and do whatever the test tells them to.
#ifndef QVN_UNIT_FAKES_H
#define QVN_UNIT_FAKES_H

#include "PrivateAccess.h"

#include "capi/KspBaseKeyContext.h"
#include "provider/KspBaseProviderContext.h"

#include <functional>
#include <ios>
#include <ostream>
#include <string>
#include <vector>

namespace unit
{

// What happened to which object, in order.
struct JournalEntry {
    std::string strEvent;
    ULONG_PTR hObject;
    bool operator==(const JournalEntry &other) const { return strEvent == other.strEvent && hObject == other.hObject; }
};
inline std::ostream &operator<<(std::ostream &os, const JournalEntry &entry)
{
    return os << entry.strEvent << "@" << std::hex << entry.hObject << std::dec;
}
typedef std::vector<JournalEntry> Journal;

// One call of a key or provider operation with the arguments it received.
struct FakeCall {
    std::string strOperation;
    VOID *pPaddingInfo = nullptr;
    PBYTE pbInput = nullptr;
    DWORD cbInput = 0;
    PBYTE pbOutput = nullptr;
    DWORD cbOutput = 0;
    DWORD *pcbResult = nullptr;
    DWORD dwFlags = 0;
    LPCWSTR pszName = nullptr;
    DWORD dwValue = 0; // dwLegacyKeySpec, dwAlgOperations
    NCryptAlgorithmName **ppAlgList = nullptr;
    bool fLockHeld = false; // g_csKsp held by someone while the operation ran
};

class FakeKey : public CKspBaseKeyContext
{
public:
    explicit FakeKey(Journal *pJournal) : CKspBaseKeyContext(KSP_WSTRING(TEXT("fake key"))), m_pJournal(pJournal) {}
    ~FakeKey() override { Note("key destroyed"); }

    void Decrypt(PBYTE pbInput, DWORD cbInput, VOID *pPaddingInfo, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult,
                 DWORD dwFlags) override
    {
        Record("Decrypt", pPaddingInfo, pbInput, cbInput, pbOutput, cbOutput, pcbResult, dwFlags);
    }
    void Encrypt(PBYTE pbInput, DWORD cbInput, VOID *pPaddingInfo, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult,
                 DWORD dwFlags) override
    {
        Record("Encrypt", pPaddingInfo, pbInput, cbInput, pbOutput, cbOutput, pcbResult, dwFlags);
    }
    void Close() override { Note("key closed"); }
    DWORD GetKeyByteLength() override { return 256; }
    void SignHash(VOID *pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature,
                  DWORD *pcbResult, DWORD dwFlags) override
    {
        Record("SignHash", pPaddingInfo, pbHashValue, cbHashValue, pbSignature, cbSignature, pcbResult, dwFlags);
    }
    void VerifySignature(VOID *pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature,
                         DWORD dwFlags) override
    {
        Record("VerifySignature", pPaddingInfo, pbHashValue, cbHashValue, pbSignature, cbSignature, nullptr, dwFlags);
    }

    std::vector<FakeCall> calls;
    std::function<void()> fnAct; // run by every operation after it is recorded

private:
    void Note(const char *pszEvent)
    {
        if (m_pJournal != nullptr) {
            m_pJournal->push_back(JournalEntry{pszEvent, GetHandle()});
        }
    }
    void Record(const char *pszOperation, VOID *pPaddingInfo, PBYTE pbInput, DWORD cbInput, PBYTE pbOutput,
                DWORD cbOutput, DWORD *pcbResult, DWORD dwFlags)
    {
        FakeCall call;
        call.strOperation = pszOperation;
        call.pPaddingInfo = pPaddingInfo;
        call.pbInput = pbInput;
        call.cbInput = cbInput;
        call.pbOutput = pbOutput;
        call.cbOutput = cbOutput;
        call.pcbResult = pcbResult;
        call.dwFlags = dwFlags;
        call.fLockHeld = IsHeld(g_csKsp);
        calls.push_back(call);
        if (fnAct) {
            fnAct();
        }
    }

    Journal *m_pJournal;
};

class FakeProvider : public CKspBaseProviderContext
{
public:
    explicit FakeProvider(Journal *pJournal)
        : CKspBaseProviderContext(KSP_WSTRING(TEXT("fake provider"))), m_pJournal(pJournal)
    {
    }
    ~FakeProvider() override { Note("provider destroyed"); }

    void EnumAlgorithms(DWORD dwAlgOperations, DWORD *pdwAlgCount, NCryptAlgorithmName **ppAlgList,
                        DWORD dwFlags) override
    {
        FakeCall call;
        call.strOperation = "EnumAlgorithms";
        call.dwValue = dwAlgOperations;
        call.pcbResult = pdwAlgCount;
        call.ppAlgList = ppAlgList;
        call.dwFlags = dwFlags;
        Record(call);
    }
    void Close() override { Note("provider closed"); }
    void GetProviderProperty(LPCWSTR pszProperty, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult,
                             DWORD dwFlags) override
    {
        FakeCall call;
        call.strOperation = "GetProviderProperty";
        call.pszName = pszProperty;
        call.pbOutput = pbOutput;
        call.cbOutput = cbOutput;
        call.pcbResult = pcbResult;
        call.dwFlags = dwFlags;
        Record(call);
    }
    void Open(DWORD dwFlags) override
    {
        FakeCall call;
        call.strOperation = "Open";
        call.dwFlags = dwFlags;
        Record(call);
    }
    // Records the call, runs fnAct, then enters a new FakeKey and returns
    // its handle.
    NCRYPT_KEY_HANDLE OpenKey(LPCWSTR pszKeyName, DWORD dwLegacyKeySpec, DWORD dwFlags) override
    {
        FakeCall call;
        call.strOperation = "OpenKey";
        call.pszName = pszKeyName;
        call.dwValue = dwLegacyKeySpec;
        call.dwFlags = dwFlags;
        Record(call);
        return AddKey(new FakeKey(m_pJournal));
    }

    // Enters a key object the way every OpenKey does.
    NCRYPT_KEY_HANDLE AddKey(CKspBaseKeyContext *pKey) { return EnterKey(pKey); }

    std::vector<FakeCall> calls;
    std::function<void()> fnAct;

private:
    void Note(const char *pszEvent)
    {
        if (m_pJournal != nullptr) {
            m_pJournal->push_back(JournalEntry{pszEvent, GetHandle()});
        }
    }
    void Record(FakeCall &call)
    {
        call.fLockHeld = IsHeld(g_csKsp);
        calls.push_back(call);
        if (fnAct) {
            fnAct();
        }
    }

    Journal *m_pJournal;
};

} // namespace unit

#endif
