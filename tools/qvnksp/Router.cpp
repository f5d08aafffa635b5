#include "Router.h"

#include "Args.h"

#include <wincrypt.h>

#include <cctype>

namespace qvnksp
{

const char *const kKspProviderName = "Quorvane TPM Key Storage Provider";
const char *const kCapiProviderNames[4] = {
    "Quorvane Alder Cryptographic Provider",
    "Quorvane Birch Cryptographic Provider",
    "Quorvane Cedar Cryptographic Provider",
    "Quorvane Dogwood Cryptographic Provider",
};

namespace
{

std::string Lower(std::string str)
{
    for (char &ch : str) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    return str;
}

std::string Quoted(const std::string &str)
{
    return "\"" + str + "\"";
}

} // namespace

std::string ResolveProviderName(const std::string &strGiven)
{
    const std::string strLower = Lower(strGiven);
    static const char *const rgpszShort[4] = {"alder", "birch", "cedar", "dogwood"};
    for (size_t i = 0; i < 4; ++i) {
        // The module compares names exactly: hand it the name as registered.
        if (strLower == rgpszShort[i] || strLower == Lower(kCapiProviderNames[i])) {
            return kCapiProviderNames[i];
        }
    }
    if (strLower == "ksp" || strLower == "tpm" || strLower == Lower(kKspProviderName)) {
        throw UsageError("--csp names the CSP whose container holds the key: Alder, Birch, Cedar or Dogwood. \"" +
                         std::string(kKspProviderName) +
                         "\" is the key storage provider itself: keys open only under the four CSP names");
    }
    throw UsageError("--csp must be Alder, Birch, Cedar or Dogwood (or the CSP's full name, e.g. \"" +
                     std::string(kCapiProviderNames[0]) + "\"), not \"" + strGiven + "\"");
}

DWORD CapiProviderType(const std::string &strProviderName)
{
    if (strProviderName == kCapiProviderNames[1]) {
        return PROV_RSA_SCHANNEL;
    }
    if (strProviderName == kCapiProviderNames[2]) {
        return PROV_RSA_AES;
    }
    if (strProviderName == kKspProviderName) {
        return 0;
    }
    return PROV_RSA_FULL;
}

const char *ProviderTypeName(DWORD dwProvType)
{
    switch (dwProvType) {
    case PROV_RSA_FULL:
        return "PROV_RSA_FULL";
    case PROV_RSA_SCHANNEL:
        return "PROV_RSA_SCHANNEL";
    case PROV_RSA_AES:
        return "PROV_RSA_AES";
    default:
        return "?";
    }
}

DWORD ParseKeySpec(const std::string &strGiven)
{
    const std::string strLower = Lower(strGiven);
    if (strLower == "exchange" || strLower == "at_keyexchange" || strLower == "1") {
        return AT_KEYEXCHANGE;
    }
    if (strLower == "signature" || strLower == "at_signature" || strLower == "2") {
        return AT_SIGNATURE;
    }
    throw UsageError("--spec must be exchange or signature, not \"" + strGiven + "\"");
}

const char *KeySpecName(DWORD dwKeySpec)
{
    return dwKeySpec == AT_KEYEXCHANGE ? "AT_KEYEXCHANGE" : dwKeySpec == AT_SIGNATURE ? "AT_SIGNATURE" : "?";
}

std::string DefaultModulePath()
{
    return DefaultModuleDirectory() + PathSeparator() + ModuleFileName();
}

Router::~Router()
{
    if (m_hModule != nullptr) {
        FreeLibrary(m_hModule);
    }
}

bool Router::Load(const std::string &strModulePath)
{
    const size_t iSlash = strModulePath.find_last_of("/\\");
    m_strModuleName = iSlash == std::string::npos ? strModulePath : strModulePath.substr(iSlash + 1);
    const WString strWidePath = Widen(strModulePath);
    m_hModule = LoadLibraryW(strWidePath.c_str());
    const DWORD dwLoadError = m_hModule == nullptr ? GetLastError() : 0;
    m_report.Step("LoadLibraryW(" + Quoted(m_strModuleName) + ")", dwLoadError, StatusKind::Win32);
    if (m_hModule == nullptr) {
        m_report.Result("", "module", strModulePath + " (use --module PATH to name another)", "");
        return false;
    }
    m_pfnGetInterface = reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(m_hModule, NCRYPT_KEY_STORAGE_INTERFACE_NAME)));
    const DWORD dwProcError = m_pfnGetInterface == nullptr ? GetLastError() : 0;
    return m_report.Step("GetProcAddress(" + Quoted(NCRYPT_KEY_STORAGE_INTERFACE_NAME) + ")", dwProcError,
                         StatusKind::Win32);
}

FARPROC Router::Export(const char *pszName)
{
    if (m_hModule == nullptr) {
        return nullptr;
    }
    FARPROC pfn = GetProcAddress(m_hModule, pszName);
    const DWORD dwError = pfn == nullptr ? GetLastError() : 0;
    m_report.Step("GetProcAddress(" + Quoted(pszName) + ")", dwError, StatusKind::Win32);
    return pfn;
}

bool Router::GetInterface(const std::string &strProviderName, NTSTATUS expected)
{
    if (m_pfnGetInterface == nullptr) {
        return false;
    }
    const WString strWideName = Widen(strProviderName);
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
    const NTSTATUS status = m_pfnGetInterface(strWideName.c_str(), &pTable, 0);
    if (status == 0) {
        m_pTable = pTable;
    }
    const bool fOk =
        m_report.Step("GetKeyStorageInterface(" + Quoted(strProviderName) + ")", static_cast<uint32_t>(status),
                      StatusKind::NtStatus, static_cast<uint32_t>(expected));
    return fOk && status == 0 && m_pTable != nullptr;
}

bool Router::Unload()
{
    if (m_hModule == nullptr) {
        return true;
    }
    const BOOL fFreed = FreeLibrary(m_hModule);
    const DWORD dwError = fFreed ? 0 : GetLastError();
    m_hModule = nullptr;
    m_pTable = nullptr;
    m_pfnGetInterface = nullptr;
    return m_report.Step("FreeLibrary(" + Quoted(m_strModuleName) + ")", dwError, StatusKind::Win32);
}

std::string OpenKeyFlagsText(DWORD dwFlags)
{
    std::string str;
    auto add = [&](DWORD dwBit, const char *pszName) {
        if ((dwFlags & dwBit) != 0) {
            str += (str.empty() ? "" : " | ") + std::string(pszName);
            dwFlags &= ~dwBit;
        }
    };
    add(NCRYPT_MACHINE_KEY_FLAG, "NCRYPT_MACHINE_KEY_FLAG");
    add(NCRYPT_SILENT_FLAG, "NCRYPT_SILENT_FLAG");
    if (dwFlags != 0) {
        str += (str.empty() ? "" : " | ") + StatusHex(dwFlags);
    }
    if (str.empty()) {
        str = "0";
    }
    return str;
}

bool OpenProviderStep(Report &report, const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable,
                      const std::string &strProviderName, TableSession &session)
{
    session.pTable = pTable;
    const WString strWideName = Widen(strProviderName);
    NCRYPT_PROV_HANDLE hProvider = 0;
    const SECURITY_STATUS status = pTable->OpenProvider(&hProvider, strWideName.c_str(), 0);
    if (status == 0) {
        session.hProvider = hProvider;
    }
    return report.Step("OpenProvider(" + Quoted(strProviderName) + ")", static_cast<uint32_t>(status),
                       StatusKind::SecurityStatus);
}

bool OpenKeyStep(Report &report, TableSession &session, const std::string &strKeyName, DWORD dwKeySpec, DWORD dwFlags)
{
    const WString strWideName = Widen(strKeyName);
    NCRYPT_KEY_HANDLE hKey = 0;
    const SECURITY_STATUS status =
        session.pTable->OpenKey(session.hProvider, &hKey, strWideName.c_str(), dwKeySpec, dwFlags);
    if (status == 0) {
        session.hKey = hKey;
    }
    std::string strCall = "OpenKey(" + Quoted(strKeyName) + ", " + KeySpecName(dwKeySpec);
    if (dwFlags != 0) {
        strCall += ", " + OpenKeyFlagsText(dwFlags);
    }
    return report.Step(strCall + ")", static_cast<uint32_t>(status), StatusKind::SecurityStatus);
}

bool CloseSession(Report &report, TableSession &session)
{
    bool fOk = true;
    if (session.hKey != 0) {
        const SECURITY_STATUS status = session.pTable->FreeKey(session.hProvider, session.hKey);
        session.hKey = 0;
        fOk = report.Step("FreeKey", static_cast<uint32_t>(status), StatusKind::SecurityStatus) && fOk;
    }
    if (session.hProvider != 0) {
        const SECURITY_STATUS status = session.pTable->FreeProvider(session.hProvider);
        session.hProvider = 0;
        fOk = report.Step("FreeProvider", static_cast<uint32_t>(status), StatusKind::SecurityStatus) && fOk;
    }
    return fOk;
}

} // namespace qvnksp
