// doctor: checks an installation link by link, from the provider registration
// to a signature made with a container's key, and prints one line per finding.
// A finding that depends on a broken one is skipped, so that the broken link
// is the only one named.
#include "Commands.h"

#include <wincrypt.h>

#include <cstring>
#include <iostream>

namespace qvnksp
{
namespace
{

const char kDoctorUsage[] =
    "usage: qvnksp doctor [--name CONTAINER [--csp NAME] [--spec SPEC] [--machine]] [--module PATH] [--json]\n"
    "\n"
    "Checks the installation link by link and prints one line per finding: the\n"
    "provider registration (name, user-mode image, key storage interface, the four\n"
    "CSP aliases), the module file and its bitness against this process's, each CSP\n"
    "registered with its type and loadable, GetKeyStorageInterface and OpenProvider\n"
    "under the five names, and with --name a sign-and-verify round trip with that\n"
    "container's key. Exit status 0 only when every check passes.\n";

enum class Result { Pass, Fail, Skip };

struct Finding {
    std::string strCheck;
    Result result;
    std::string strFound;
    std::string strFix; // what to do, when it failed
};

class Findings
{
public:
    bool Add(const std::string &strCheck, Result result, const std::string &strFound, const std::string &strFix = "")
    {
        m_rgFindings.push_back({strCheck, result, strFound, strFix});
        return result == Result::Pass;
    }
    int Print(bool fJson) const
    {
        static const char *const rgpszResult[] = {"pass", "FAIL", "skip"};
        size_t cFailed = 0;
        std::vector<std::string> rgstrJson;
        for (const Finding &f : m_rgFindings) {
            const char *pszResult = rgpszResult[static_cast<int>(f.result)];
            cFailed += f.result == Result::Fail ? 1 : 0;
            if (!fJson) {
                std::cout << pszResult << "  " << f.strCheck << ": " << f.strFound
                          << (f.result == Result::Fail ? " -- to fix: " + f.strFix : "") << "\n";
            }
            rgstrJson.push_back(JsonObject({{"check", JsonString(f.strCheck)},
                                            {"result", JsonString(f.result == Result::Fail ? "fail" : pszResult)},
                                            {"found", JsonString(f.strFound)},
                                            {"fix", JsonString(f.result == Result::Fail ? f.strFix : "")}}));
        }
        if (fJson) {
            std::cout << JsonObject({{"command", JsonString("doctor")},
                                     {"ok", JsonBool(cFailed == 0)},
                                     {"findings", JsonArray(rgstrJson)}})
                      << std::endl;
        } else {
            std::cout << "qvnksp doctor: "
                      << (cFailed == 0 ? "OK"
                                       : "FAILED (" + std::to_string(cFailed) + " of " +
                                             std::to_string(m_rgFindings.size()) + " checks failed)")
                      << "\n";
        }
        return cFailed == 0 ? kExitOk : kExitFailed;
    }

private:
    std::vector<Finding> m_rgFindings;
};

std::string Quoted(const std::string &str)
{
    return "\"" + str + "\"";
}

std::string SecurityText(SECURITY_STATUS status)
{
    return StatusText(static_cast<uint32_t>(status), StatusKind::SecurityStatus);
}

// The bitness of an ELF or PE file, 0 when it is neither.
unsigned FileBitness(const Bytes &file)
{
    if (file.size() > 4 && std::memcmp(file.data(), "\177ELF", 4) == 0) {
        return file[4] == 1 ? 32 : file[4] == 2 ? 64 : 0;
    }
    if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') {
        return 0;
    }
    const size_t iPe = file[0x3C] | (file[0x3D] << 8) | (file[0x3E] << 16) | (static_cast<size_t>(file[0x3F]) << 24);
    if (iPe + 6 > file.size() || std::memcmp(&file[iPe], "PE\0\0", 4) != 0) {
        return 0;
    }
    const unsigned machine = file[iPe + 4] | (file[iPe + 5] << 8);
    return machine == 0x14C ? 32 : machine == 0x8664 || machine == 0xAA64 ? 64 : 0;
}

bool UnderWine()
{
#ifdef _WIN32
    const HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    return hNtdll != nullptr && GetProcAddress(hNtdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// The type a CSP is registered with in CryptoAPI's provider registry; false when it is not there.
bool RegisteredCspType(const std::string &strCsp, DWORD &dwType)
{
#ifdef _WIN32
    // The module is 32-bit: its CSPs are those of the 32-bit view, whatever this process is.
    const WString strKey = Widen("SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\" + strCsp);
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, strKey.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &hKey) != 0) {
        return false;
    }
    DWORD dwKind = 0, cb = sizeof(dwType);
    const LONG l = RegQueryValueExW(hKey, L"Type", nullptr, &dwKind, reinterpret_cast<BYTE *>(&dwType), &cb);
    RegCloseKey(hKey);
    return l == 0 && dwKind == REG_DWORD;
#else
    WCHAR szName[256];
    for (DWORD i = 0;; ++i) {
        DWORD cbName = sizeof(szName);
        if (!CryptEnumProvidersW(i, nullptr, 0, &dwType, szName, &cbName)) {
            return false; // ERROR_NO_MORE_ITEMS, or a name too long to be one of ours
        }
        if (Narrow(szName) == strCsp) {
            return true;
        }
    }
#endif
}

const char *CspRegistryText()
{
#ifdef _WIN32
    return "HKLM\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider (32-bit view: WOW6432Node on 64-bit Windows)";
#else
    return "the stand-in's provider list (csp-providers in the key store directory)";
#endif
}

// The provider registration: the user-mode image it names, or "" (and a finding) when it is not right.
std::string CheckRegistration(Findings &findings)
{
    const std::string strCheck = "provider registration";
    if (UnderWine()) {
        findings.Add(strCheck, Result::Skip,
                     "not kept under Wine: Wine's bcrypt has BCryptRegisterProvider and "
                     "BCryptQueryProviderRegistration as stubs, and Wine's ncrypt loads no key storage provider");
        return "";
    }
    const std::string strFix = "run `qvnksp register` (or regsvr32 QvnTpmKsp.dll) as an administrator";
    const WString strProvider = Widen(kKspProviderName);
    ULONG cbBuffer = 0;
    PCRYPT_PROVIDER_REG pReg = nullptr;
    const NTSTATUS status =
        BCryptQueryProviderRegistration(strProvider.c_str(), CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &cbBuffer, &pReg);
    if (status != 0 || pReg == nullptr) {
        findings.Add(strCheck, Result::Fail,
                     Quoted(kKspProviderName) + " is not registered (BCryptQueryProviderRegistration: " +
                         StatusText(static_cast<uint32_t>(status), StatusKind::NtStatus) + ")",
                     strFix);
        return "";
    }
    std::string strWrong, strImage;
    std::vector<std::string> rgstrAliases;
    for (ULONG i = 0; i < pReg->cAliases; ++i) {
        rgstrAliases.push_back(Narrow(pReg->rgpszAliases[i]));
    }
    if (rgstrAliases != std::vector<std::string>(std::begin(kCapiProviderNames), std::end(kCapiProviderNames))) {
        strWrong = "its aliases are not the four CSP names";
    }
    const CRYPT_IMAGE_REG *pUm = pReg->pUM;
    if (pUm == nullptr || pUm->pszImage == nullptr || pUm->pszImage[0] == 0) {
        strWrong = "it names no user-mode image";
    } else {
        strImage = Narrow(pUm->pszImage);
        const CRYPT_INTERFACE_REG *pInterface = pUm->cInterfaces == 1 ? pUm->rgpInterfaces[0] : nullptr;
        if (pInterface == nullptr || pInterface->dwInterface != NCRYPT_KEY_STORAGE_INTERFACE ||
            pInterface->cFunctions != 1 || Narrow(pInterface->rgpszFunctions[0]) != "KEY_STORAGE") {
            strWrong = "its image has not exactly the key storage interface with the one function KEY_STORAGE";
        }
    }
    BCryptFreeBuffer(pReg);
    if (!strWrong.empty()) {
        findings.Add(strCheck, Result::Fail, Quoted(kKspProviderName) + " is registered, but " + strWrong, strFix);
        return "";
    }
    findings.Add(strCheck, Result::Pass,
                 Quoted(kKspProviderName) + ": image " + strImage +
                     ", key storage interface with KEY_STORAGE, the four CSP names as aliases");
    return strImage;
}

// The module file the router would load; "" (and a finding) when it is missing or of the wrong kind.
std::string CheckModuleFile(Findings &findings, const Context &ctx, const std::string &strImage)
{
    std::string strPath = ctx.strModulePath, strHow = " (no registration names one: the module given to qvnksp)";
#ifdef _WIN32
    // The router loads the registration's image from the system folder of the
    // process; where no registration can be read, the module is looked for
    // there too (unless --module names one), never beside this program.
    const std::string strSystem = DefaultModuleDirectory();
    if (!strImage.empty()) {
        strPath = strSystem + "\\" + strImage;
        strHow = " (where the registration's image " + strImage + " is loaded from)";
    } else if (ctx.fModuleGiven) {
        strHow = " (no registration can be read: the module given with --module)";
    } else {
        strHow = std::string(" (no registration can be read") + (UnderWine() ? ", Wine keeps none" : "") +
                 ": where the registration's image is loaded from)";
    }
#else
    if (!strImage.empty()) {
        const auto Stem = [](const std::string &str) {
            const std::string strBase = str.substr(str.find_last_of('/') + 1);
            return strBase.substr(0, strBase.find('.'));
        };
        if (Stem(strImage) != Stem(strPath)) {
            findings.Add("module file", Result::Fail, "the registration names " + strImage + ", not " + strPath,
                         "register this module (`qvnksp register`)");
            return "";
        }
        strHow = " (the stand-in's counterpart of the registration's image " + strImage + ")";
    }
#endif
    Bytes file;
    std::string strError;
    if (!ReadWholeFile(strPath, file, strError)) {
#ifdef _WIN32
        // The product is the 32-bit module; a 64-bit process looks for a 64-bit build.
        const std::string strFix =
            sizeof(void *) == 4 ? "install QvnTpmKsp.dll in " + strSystem +
                                      " (the system folder of 32-bit programs, where the package QvnTpmKsp.msi "
                                      "puts it) and register it"
                                : "install the 64-bit QvnTpmKsp.dll in " + strSystem +
                                      " (the system folder of 64-bit programs), or check the product, the 32-bit "
                                      "module, with the 32-bit qvnksp.exe";
#else
        const std::string strFix = "build the module next to qvnksp, or give its path with --module";
#endif
        findings.Add("module file", Result::Fail, strPath + strHow + " cannot be read: " + strError, strFix);
        return "";
    }
    findings.Add("module file", Result::Pass, strPath + strHow);
    const unsigned process = static_cast<unsigned>(sizeof(void *) * 8), module = FileBitness(file);
    const std::string strFound =
        std::to_string(process) + "-bit process, " +
        (module == 0 ? std::string("module of unknown kind") : std::to_string(module) + "-bit module");
    return findings.Add("bitness", module == process ? Result::Pass : Result::Fail, strFound,
                        module == 0
                            ? "reinstall the module: this file is none that a program loads"
                            : "a program loads only a module of its own bitness: run the " + std::to_string(module) +
                                  "-bit qvnksp, or install the " + std::to_string(process) + "-bit module")
               ? strPath
               : "";
}

bool CheckCsp(Findings &findings, const std::string &strCsp)
{
    const std::string strCheck = "CSP " + Quoted(strCsp);
    const DWORD dwWanted = CapiProviderType(strCsp);
    DWORD dwType = 0;
    const std::string strRegister = "register it with Type " + std::to_string(dwWanted) + " (" +
                                    ProviderTypeName(dwWanted) + ") in " + CspRegistryText();
    if (!RegisteredCspType(strCsp, dwType)) {
        return findings.Add(strCheck, Result::Fail, std::string("not registered in ") + CspRegistryText(),
                            "install the CSP, or " + strRegister);
    }
    if (dwType != dwWanted) {
        return findings.Add(strCheck, Result::Fail,
                            "registered with type " + std::to_string(dwType) + " (" + ProviderTypeName(dwType) +
                                "), the module asks for " + ProviderTypeName(dwWanted),
                            strRegister);
    }
    HCRYPTPROV hProv = 0;
    const WString strWide = Widen(strCsp);
    if (!CryptAcquireContextW(&hProv, nullptr, strWide.c_str(), dwWanted, CRYPT_VERIFYCONTEXT)) {
        return findings.Add(strCheck, Result::Fail,
                            std::string("registered as ") + ProviderTypeName(dwWanted) +
                                ", but CryptAcquireContextW(CRYPT_VERIFYCONTEXT) fails with " +
                                SecurityText(static_cast<SECURITY_STATUS>(GetLastError())),
                            "reinstall the CSP: its DLL cannot be loaded or does not start");
    }
    CryptReleaseContext(hProv, 0);
    return findings.Add(strCheck, Result::Pass,
                        std::string("registered as ") + ProviderTypeName(dwWanted) +
                            ", CryptAcquireContextW(CRYPT_VERIFYCONTEXT) succeeds");
}

// GetKeyStorageInterface and OpenProvider under one name; the table when both work.
const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *CheckName(Findings &findings, GetKeyStorageInterfaceFn pfnGet,
                                                   const std::string &strName, bool fCspWorks)
{
    const std::string strCheck = "provider name " + Quoted(strName);
    if (pfnGet == nullptr || !fCspWorks) {
        findings.Add(strCheck, Result::Skip,
                     pfnGet == nullptr ? "not tried: the module is not usable (above)"
                                       : "not tried: its CSP is broken (above)");
        return nullptr;
    }
    const WString strWide = Widen(strName);
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
    const NTSTATUS status = pfnGet(strWide.c_str(), &pTable, 0);
    if (status != 0 || pTable == nullptr) {
        findings.Add(strCheck, Result::Fail,
                     "GetKeyStorageInterface fails with " +
                         StatusText(static_cast<uint32_t>(status), StatusKind::NtStatus),
                     "install a module of this provider (its version may be older)");
        return nullptr;
    }
    NCRYPT_PROV_HANDLE hProvider = 0;
    const SECURITY_STATUS opened = pTable->OpenProvider(&hProvider, strWide.c_str(), 0);
    if (opened != 0) {
        findings.Add(strCheck, Result::Fail, "OpenProvider fails with " + SecurityText(opened),
                     "look up the status with `qvnksp error`");
        return nullptr;
    }
    pTable->FreeProvider(hProvider);
    findings.Add(strCheck, Result::Pass, "GetKeyStorageInterface and OpenProvider succeed");
    return pTable;
}

// OpenKey, SignHash (SHA-256, PKCS #1) and VerifySignature with a container's key, and
// VerifySignature of that signature damaged, which must be NTE_BAD_SIGNATURE.
void CheckRoundTrip(Findings &findings, const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable, const KeyTarget &target)
{
    const std::string strCheck = "key " + Quoted(target.strName) + " of " + Quoted(target.strCsp);
    if (pTable == nullptr) {
        findings.Add(strCheck, Result::Skip, "not tried: the provider name does not work (above)");
        return;
    }
    const WString strCsp = Widen(target.strCsp), strName = Widen(target.strName);
    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE hKey = 0;
    Bytes hash(32, 0x5A), signature(1024);
    const WString strSha256 = Widen("SHA256");
    BCRYPT_PKCS1_PADDING_INFO padding = {strSha256.c_str()};
    DWORD cbSignature = 0;
    std::string strFailed;
    SECURITY_STATUS status = pTable->OpenProvider(&hProvider, strCsp.c_str(), 0);
    if (status == 0) {
        status = pTable->OpenKey(hProvider, &hKey, strName.c_str(), target.dwKeySpec, target.dwOpenFlags);
        strFailed = "OpenKey";
    }
    if (status == 0) {
        status =
            pTable->SignHash(hProvider, hKey, &padding, hash.data(), static_cast<DWORD>(hash.size()), signature.data(),
                             static_cast<DWORD>(signature.size()), &cbSignature, NCRYPT_PAD_PKCS1_FLAG);
        strFailed = "SignHash";
    }
    if (status == 0) {
        status = pTable->VerifySignature(hProvider, hKey, &padding, hash.data(), static_cast<DWORD>(hash.size()),
                                         signature.data(), cbSignature, NCRYPT_PAD_PKCS1_FLAG);
        strFailed = "VerifySignature";
    }
    SECURITY_STATUS damaged = NTE_BAD_SIGNATURE;
    if (status == 0) {
        signature[0] ^= 0x01; // a CSP that fails without a last-error value has this "verify"
        damaged = pTable->VerifySignature(hProvider, hKey, &padding, hash.data(), static_cast<DWORD>(hash.size()),
                                          signature.data(), cbSignature, NCRYPT_PAD_PKCS1_FLAG);
    }
    if (hKey != 0) {
        pTable->FreeKey(hProvider, hKey);
    }
    if (hProvider != 0) {
        pTable->FreeProvider(hProvider);
    }
    if (status != 0) {
        findings.Add(strCheck, Result::Fail, strFailed + " fails with " + SecurityText(status),
                     status == NTE_BAD_KEYSET ? "create the container (`qvnksp container create`) or check "
                                                "--spec and --machine"
                                              : "look up the status with `qvnksp error`");
        return;
    }
    if (damaged != NTE_BAD_SIGNATURE) {
        findings.Add(strCheck, Result::Fail,
                     "VerifySignature of a damaged signature gives " + SecurityText(damaged) +
                         ", not NTE_BAD_SIGNATURE",
                     damaged == 0 ? "have the CSP fixed: it fails without setting the last-error value, so its "
                                    "failures read as success"
                                  : "look up the status with `qvnksp error`");
        return;
    }
    findings.Add(strCheck, Result::Pass,
                 "OpenKey, SignHash (SHA256, PKCS #1: " + std::to_string(cbSignature) +
                     " bytes) and VerifySignature succeed, a damaged signature is refused");
}

} // namespace

int RunDoctor(const Context &ctx, const CommandArgs &rgstrArgs)
{
    return WithUsage(ctx, "doctor", kDoctorUsage, [&] {
        const Args args(rgstrArgs, {QVNKSP_KEY_OPTIONS});
        if (args.Help()) {
            throw HelpRequested{};
        }
        const bool fRoundTrip = args.Has("name");
        const KeyTarget target = fRoundTrip ? ParseKeyTarget(args) : KeyTarget();
        Findings findings;
        const std::string strModule = CheckModuleFile(findings, ctx, CheckRegistration(findings));
        bool rgfCspWorks[4];
        for (size_t i = 0; i < 4; ++i) {
            rgfCspWorks[i] = CheckCsp(findings, kCapiProviderNames[i]);
        }
        HMODULE hModule = nullptr;
        GetKeyStorageInterfaceFn pfnGet = nullptr;
        if (!strModule.empty()) {
            const WString strWide = Widen(strModule);
            hModule = LoadLibraryW(strWide.c_str());
            pfnGet = hModule == nullptr ? nullptr
                                        : reinterpret_cast<GetKeyStorageInterfaceFn>(reinterpret_cast<void (*)()>(
                                              GetProcAddress(hModule, "GetKeyStorageInterface")));
            if (pfnGet == nullptr) {
                findings.Add("module load", Result::Fail,
                             "LoadLibraryW and GetProcAddress(\"GetKeyStorageInterface\") fail with " +
                                 StatusText(GetLastError(), StatusKind::Win32),
                             "reinstall the module: it is not a QvnTpmKsp.dll that this process can load");
            }
        }
        const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTargetTable = nullptr;
        for (size_t i = 0; i < 5; ++i) {
            const std::string strName = i == 0 ? kKspProviderName : kCapiProviderNames[i - 1];
            const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable =
                CheckName(findings, pfnGet, strName, i == 0 || rgfCspWorks[i - 1]);
            pTargetTable = strName == target.strCsp ? pTable : pTargetTable;
        }
        if (fRoundTrip) {
            CheckRoundTrip(findings, pTargetTable, target);
        }
        if (hModule != nullptr) {
            FreeLibrary(hModule);
        }
        return findings.Print(ctx.fJson);
    });
}

} // namespace qvnksp
