// Support of the hardening suites: the module loaded as the CNG router loads
// it, a key store with the containers that the suites use, and the live
// CryptoAPI handles and module allocations of the process, which a sweep or
// a soak must leave as it found them.
#ifndef QVN_TESTS_HARDENING_HARDENINGSUPPORT_H
#define QVN_TESTS_HARDENING_HARDENINGSUPPORT_H

#include "TestSupport.h"

#include <windows.h>
#include <bcrypt.h>
#include <ncrypt.h>
#include <ntstatus.h>
#include <wincrypt.h>

#include <ncrypt_provider.h>
#include <qvnplatform.h>

#include <ostream>
#include <string>

namespace hardening
{

using qvntest::Bytes;

extern const WCHAR *const kKspName;
// A container with a key-exchange and a signature pair of 1024 bits
// (CachedTestKey(1024, 0) and CachedTestKey(1024, 1)), in the Alder CSP.
extern const WCHAR *const kBothContainer;
// A container with a signature pair only (CachedTestKey(1024, 1)), in Alder.
extern const WCHAR *const kSignatureOnlyContainer;
constexpr DWORD kKeyBytes = 128;

// Creates the containers above in the current store; false (with the reason
// as a test failure) if that fails.
bool PopulateStore();

// The module as the router loads it: by path (QVN_HARDENING_MODULE in the
// environment, else the path of the build), then GetKeyStorageInterface.
class LoadedModule
{
public:
    LoadedModule() = default;
    ~LoadedModule() { Unload(); }
    LoadedModule(const LoadedModule &) = delete;
    LoadedModule &operator=(const LoadedModule &) = delete;

    // False, with the reason, when the module or its table cannot be had.
    bool Load(std::string &strError) { return LoadLibraryOnly(strError) && OpenTable(strError); }
    // The two steps of Load: LoadLibraryW (the module's static
    // initialisation), then GetProcAddress and GetKeyStorageInterface.
    bool LoadLibraryOnly(std::string &strError);
    bool OpenTable(std::string &strError);
    void Unload();
    bool IsLoaded() const { return m_hModule != nullptr; }

    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &Table() const { return *m_pTable; }
    GetKeyStorageInterfaceFn GetInterface() const { return m_pfnGetInterface; }

private:
    HMODULE m_hModule = nullptr;
    GetKeyStorageInterfaceFn m_pfnGetInterface = nullptr;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *m_pTable = nullptr;
};

// What the process holds: live CryptoAPI contexts, keys and hashes of the
// platform, and live blocks that the module allocated.
struct Holdings {
    LONG lContexts = 0;
    LONG lKeys = 0;
    LONG lHashes = 0;
    LONG lModuleBlocks = 0;

    static Holdings Now();
    bool operator==(const Holdings &other) const
    {
        return lContexts == other.lContexts && lKeys == other.lKeys && lHashes == other.lHashes &&
               lModuleBlocks == other.lModuleBlocks;
    }
};
std::ostream &operator<<(std::ostream &os, const Holdings &holdings);

// A status as 8 hex digits, for messages.
std::string StatusText(LONG status);

// Signs a SHA-256 hash with the key through the table, judges the signature
// with OpenSSL against the key pair it must have been made with, and
// verifies it through the table; records a test failure when any step fails.
void ExpectKeySigns(const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table, NCRYPT_PROV_HANDLE hProvider,
                    NCRYPT_KEY_HANDLE hKey, const qvntest::TestKey &key, unsigned uSeed);
// Encrypts a plaintext with the key through the table, has OpenSSL decrypt
// it, and decrypts it again through the table.
void ExpectKeyEncrypts(const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table, NCRYPT_PROV_HANDLE hProvider,
                       NCRYPT_KEY_HANDLE hKey, const qvntest::TestKey &key, unsigned uSeed);

} // namespace hardening

#endif
