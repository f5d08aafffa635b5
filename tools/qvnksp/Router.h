// The CNG router's part: load the module, ask it for its function table under
// a provider name, and open providers and keys through that table. Every call
// is shown as a step of the report.
#ifndef QVNKSP_ROUTER_H
#define QVNKSP_ROUTER_H

#include "Host.h"
#include "Report.h"

#include <windows.h>
#include <bcrypt.h>
#include <ncrypt.h>

#include "ncrypt_provider.h"

#include <string>

namespace qvnksp
{

// The provider names the module answers to.
extern const char *const kKspProviderName;
extern const char *const kCapiProviderNames[4];

// A CSP name from the command line (--csp): one of the four CSPs by its full
// name or alder / birch / cedar / dogwood, in any letter case. Anything else,
// the key storage provider's own name included, throws UsageError.
std::string ResolveProviderName(const std::string &strGiven);
// The CryptoAPI provider type of each CSP (PROV_RSA_FULL, ...); 0 for the KSP name.
DWORD CapiProviderType(const std::string &strProviderName);
const char *ProviderTypeName(DWORD dwProvType);

// Key specs: "exchange" / "signature" (also AT_KEYEXCHANGE, AT_SIGNATURE, 1, 2).
DWORD ParseKeySpec(const std::string &strGiven);
const char *KeySpecName(DWORD dwKeySpec);

// The module's default place: the system folder on Windows, next to the tool on Linux.
std::string DefaultModulePath();

class Router
{
public:
    explicit Router(Report &report) : m_report(report) {}
    ~Router();
    Router(const Router &) = delete;
    Router &operator=(const Router &) = delete;

    // LoadLibraryW and GetProcAddress("GetKeyStorageInterface").
    bool Load(const std::string &strModulePath);
    // An export of the module other than GetKeyStorageInterface (shown as a step).
    FARPROC Export(const char *pszName);
    // GetKeyStorageInterface(name, &table, 0): the router's first call for a provider name.
    bool GetInterface(const std::string &strProviderName, NTSTATUS expected = 0);
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *Table() const { return m_pTable; }
    // FreeLibrary, shown as a step (the destructor unloads silently otherwise).
    bool Unload();

private:
    Report &m_report;
    HMODULE m_hModule = nullptr;
    std::string m_strModuleName;
    GetKeyStorageInterfaceFn m_pfnGetInterface = nullptr;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *m_pTable = nullptr;
};

// A provider handle and optionally a key handle, opened through the table.
struct TableSession {
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE hKey = 0;
};

bool OpenProviderStep(Report &report, const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable,
                      const std::string &strProviderName, TableSession &session);
bool OpenKeyStep(Report &report, TableSession &session, const std::string &strKeyName, DWORD dwKeySpec, DWORD dwFlags);
// FreeKey (if a key is open), then FreeProvider (if a provider is open).
bool CloseSession(Report &report, TableSession &session);

// "OpenKey" flags as text: "0", "NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG".
std::string OpenKeyFlagsText(DWORD dwFlags);

} // namespace qvnksp

#endif
