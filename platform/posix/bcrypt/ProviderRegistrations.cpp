// bcrypt's provider configuration as the module and its readers use it:
// BCryptRegisterProvider, BCryptUnregisterProvider,
// BCryptQueryProviderRegistration and BCryptFreeBuffer, for providers with a
// user-mode image only. A kernel-mode image, a query of kernel mode and a
// query into the caller's own buffer are refused with STATUS_NOT_SUPPORTED.
//
// The registrations live in "cng-providers" inside the key store directory
// (QvnPlatformGetStoreDirectory), so that a test that points the key store at
// a directory of its own gets a provider configuration of its own as well:
// one file per provider, named for its name with a-z folded to A-Z (names
// compare as registry key names do), of tab-separated UTF-8 lines
//   alias <name>
//   image <file name>
//   interface <id> <flags> <function>...
//
// Each call honours an injected failure first (it then returns the injected
// value as its NTSTATUS and does nothing) and enters the call log.
#include "ProviderRegistrations.h"

#include "../controls/controls.h"
#include "../kernel32/wide.h"

#include <CspError.h>
#include <StoreFiles.h>

#include <windows.h>
#include <bcrypt.h>
#include <ntstatus.h>
#include <bcrypt_provider.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <new>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

// What the registry answers when its data cannot be read as registry data.
constexpr NTSTATUS kStatusRegistryCorrupt = static_cast<NTSTATUS>(0xC000014C);
// The longest provider name: a registry key name holds at most 255 characters.
constexpr size_t kMaxProviderName = 255;

struct Interface {
    ULONG dwInterface = 0;
    ULONG dwFlags = 0;
    std::vector<std::u16string> functions;
};

struct Registration {
    std::vector<std::u16string> aliases;
    std::u16string strImage;
    std::vector<Interface> interfaces;
};

bool IsValidProviderName(LPCWSTR pszName)
{
    if (pszName == nullptr || pszName[0] == 0) {
        return false;
    }
    const std::u16string strName = pszName;
    return strName.size() <= kMaxProviderName && strName.find(u'\\') == std::u16string::npos;
}

std::string Directory()
{
    return std::string(QvnPlatformGetStoreDirectory()) + "/cng-providers";
}

// Provider names compare as registry key names do: a-z folded to A-Z.
std::u16string Folded(std::u16string str)
{
    for (char16_t &ch : str) {
        ch = ch >= u'a' && ch <= u'z' ? static_cast<char16_t>(ch - u'a' + u'A') : ch;
    }
    return str;
}

std::string PathOf(LPCWSTR pszProvider)
{
    return Directory() + "/" + qvn::csp::FileNameOf(Folded(pszProvider)) + ".reg";
}

// A string the file can hold: present, not empty, without tab or line break.
bool Storable(LPCWSTR psz)
{
    if (psz == nullptr || psz[0] == 0) {
        return false;
    }
    for (; *psz != 0; ++psz) {
        if (*psz == u'\t' || *psz == u'\n') {
            return false;
        }
    }
    return true;
}

// The text of a registration record; false when the record is malformed.
bool FormatRecord(const CRYPT_PROVIDER_REG &reg, std::string *pText)
{
    const CRYPT_IMAGE_REG *pImage = reg.pUM;
    if (pImage == nullptr || (reg.cAliases > 0 && reg.rgpszAliases == nullptr) || !Storable(pImage->pszImage) ||
        (pImage->cInterfaces > 0 && pImage->rgpInterfaces == nullptr)) {
        return false;
    }
    std::string strText;
    for (ULONG i = 0; i < reg.cAliases; ++i) {
        if (!Storable(reg.rgpszAliases[i])) {
            return false;
        }
        strText += "alias\t" + qvn::ToUtf8(reg.rgpszAliases[i]) + "\n";
    }
    strText += "image\t" + qvn::ToUtf8(pImage->pszImage) + "\n";
    for (ULONG i = 0; i < pImage->cInterfaces; ++i) {
        const CRYPT_INTERFACE_REG *pInterface = pImage->rgpInterfaces[i];
        if (pInterface == nullptr || (pInterface->cFunctions > 0 && pInterface->rgpszFunctions == nullptr)) {
            return false;
        }
        strText += "interface\t" + std::to_string(pInterface->dwInterface) + "\t" + std::to_string(pInterface->dwFlags);
        for (ULONG j = 0; j < pInterface->cFunctions; ++j) {
            if (!Storable(pInterface->rgpszFunctions[j])) {
                return false;
            }
            strText += "\t" + qvn::ToUtf8(pInterface->rgpszFunctions[j]);
        }
        strText += "\n";
    }
    *pText = strText;
    return true;
}

bool ParseRecord(const std::string &strText, Registration *pRegistration)
{
    std::istringstream lines(strText);
    for (std::string strLine; std::getline(lines, strLine);) {
        std::vector<std::string> fields;
        std::istringstream line(strLine);
        for (std::string strField; std::getline(line, strField, '\t');) {
            fields.push_back(strField);
        }
        if (fields.size() == 2 && fields[0] == "alias") {
            pRegistration->aliases.push_back(qvn::ToUtf16(fields[1]));
        } else if (fields.size() == 2 && fields[0] == "image") {
            pRegistration->strImage = qvn::ToUtf16(fields[1]);
        } else if (fields.size() >= 3 && fields[0] == "interface") {
            Interface entry;
            entry.dwInterface = std::strtoul(fields[1].c_str(), nullptr, 10);
            entry.dwFlags = std::strtoul(fields[2].c_str(), nullptr, 10);
            for (size_t i = 3; i < fields.size(); ++i) {
                entry.functions.push_back(qvn::ToUtf16(fields[i]));
            }
            pRegistration->interfaces.push_back(entry);
        } else {
            return false;
        }
    }
    return !pRegistration->strImage.empty();
}

// The registration with its one interface entry in one malloc'd block: the
// records, then the string pointers (aliases, then functions), then the
// strings. Null when there is no memory.
PCRYPT_PROVIDER_REG Marshal(const Registration &registration, const Interface &entry, ULONG *pcbBlock)
{
    struct Records {
        CRYPT_PROVIDER_REG reg;
        CRYPT_IMAGE_REG image;
        CRYPT_INTERFACE_REG entry;
        PCRYPT_INTERFACE_REG pEntry;
    };
    const ULONG cAliases = static_cast<ULONG>(registration.aliases.size());
    const ULONG cFunctions = static_cast<ULONG>(entry.functions.size());
    size_t cchText = registration.strImage.size() + 1;
    for (const auto *pStrings : {&registration.aliases, &entry.functions}) {
        for (const std::u16string &str : *pStrings) {
            cchText += str.size() + 1;
        }
    }
    const size_t cbBlock = sizeof(Records) + (cAliases + cFunctions) * sizeof(PWSTR) + cchText * sizeof(WCHAR);
    Records *pRecords = static_cast<Records *>(std::calloc(1, cbBlock)); // the strings' NULs included
    if (pRecords == nullptr) {
        return nullptr;
    }
    PWSTR *rgpsz = reinterpret_cast<PWSTR *>(pRecords + 1);
    WCHAR *pchNext = reinterpret_cast<WCHAR *>(rgpsz + cAliases + cFunctions);
    const auto Place = [&](const std::u16string &str) {
        PWSTR psz = pchNext;
        pchNext = std::copy(str.begin(), str.end(), pchNext) + 1;
        return psz;
    };
    std::transform(registration.aliases.begin(), registration.aliases.end(), rgpsz, Place);
    std::transform(entry.functions.begin(), entry.functions.end(), rgpsz + cAliases, Place);
    pRecords->entry = {entry.dwInterface, entry.dwFlags, cFunctions, rgpsz + cAliases};
    pRecords->pEntry = &pRecords->entry;
    pRecords->image = {Place(registration.strImage), 1, &pRecords->pEntry};
    pRecords->reg = {cAliases, rgpsz, &pRecords->image, nullptr};
    *pcbBlock = static_cast<ULONG>(cbBlock);
    return &pRecords->reg;
}

// Runs a store operation: file failures become NTSTATUS values.
template <class Operation> NTSTATUS Guarded(Operation operation)
{
    try {
        return operation();
    } catch (const std::bad_alloc &) {
        return STATUS_NO_MEMORY;
    } catch (const qvn::csp::CspError &) {
        return errno == EACCES || errno == EPERM || errno == EROFS ? STATUS_ACCESS_DENIED : STATUS_UNSUCCESSFUL;
    }
}

NTSTATUS Register(LPCWSTR pszProvider, ULONG dwFlags, const CRYPT_PROVIDER_REG *pReg)
{
    if (!IsValidProviderName(pszProvider) || pReg == nullptr || (dwFlags & ~CRYPT_OVERWRITE) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pReg->pKM != nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    return Guarded([&] {
        std::string strText, strExisting;
        if (!FormatRecord(*pReg, &strText)) {
            return STATUS_INVALID_PARAMETER;
        }
        qvn::csp::DirectoryLock lock(Directory(), true, true);
        if ((dwFlags & CRYPT_OVERWRITE) == 0 && qvn::csp::ReadWholeFile(PathOf(pszProvider), &strExisting)) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
        qvn::csp::ReplaceFile(Directory(), PathOf(pszProvider), strText);
        return STATUS_SUCCESS;
    });
}

NTSTATUS Unregister(LPCWSTR pszProvider)
{
    if (!IsValidProviderName(pszProvider)) {
        return STATUS_INVALID_PARAMETER;
    }
    return Guarded([&] {
        qvn::csp::DirectoryLock lock(Directory(), true, false);
        if (!lock.Held() || unlink(PathOf(pszProvider).c_str()) != 0) {
            return !lock.Held() || errno == ENOENT ? STATUS_NOT_FOUND : STATUS_UNSUCCESSFUL;
        }
        return STATUS_SUCCESS;
    });
}

NTSTATUS Query(LPCWSTR pszProvider, ULONG dwMode, ULONG dwInterface, ULONG *pcbBuffer, PCRYPT_PROVIDER_REG *ppBuffer)
{
    if (!IsValidProviderName(pszProvider) || pcbBuffer == nullptr || ppBuffer == nullptr ||
        (dwMode != CRYPT_UM && dwMode != CRYPT_KM && dwMode != CRYPT_MM && dwMode != CRYPT_ANY)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (dwMode == CRYPT_KM || dwMode == CRYPT_MM || *ppBuffer != nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    return Guarded([&] {
        Registration registration;
        std::string strText;
        {
            qvn::csp::DirectoryLock lock(Directory(), false, false);
            if (!lock.Held() || !qvn::csp::ReadWholeFile(PathOf(pszProvider), &strText)) {
                return STATUS_NOT_FOUND;
            }
        }
        if (!ParseRecord(strText, &registration)) {
            return kStatusRegistryCorrupt;
        }
        for (const Interface &entry : registration.interfaces) {
            if (entry.dwInterface != dwInterface) {
                continue;
            }
            *ppBuffer = Marshal(registration, entry, pcbBuffer);
            return *ppBuffer != nullptr ? STATUS_SUCCESS : STATUS_NO_MEMORY;
        }
        return STATUS_NOT_FOUND;
    });
}

} // namespace

namespace qvn
{
namespace bcrypt
{

bool FindUserModeImage(LPCWSTR pszName, std::u16string *pstrImage)
{
    if (!IsValidProviderName(pszName)) {
        return false;
    }
    const std::u16string strName = Folded(pszName);
    const auto matches = [&](const Registration &registration, bool fByFileName) {
        if (fByFileName) {
            return true;
        }
        for (const std::u16string &strAlias : registration.aliases) {
            if (Folded(strAlias) == strName) {
                return true;
            }
        }
        return false;
    };
    qvn::csp::DirectoryLock lock(Directory(), false, false);
    if (!lock.Held()) {
        return false;
    }
    // The provider's own name first, then the registrations that list it as an alias.
    std::vector<std::string> paths{PathOf(pszName)};
    if (DIR *pDir = opendir(Directory().c_str())) {
        while (const dirent *pEntry = readdir(pDir)) {
            const std::string strFile = pEntry->d_name;
            if (strFile.size() > 4 && strFile.compare(strFile.size() - 4, 4, ".reg") == 0) {
                paths.push_back(Directory() + "/" + strFile);
            }
        }
        closedir(pDir);
    }
    for (size_t i = 0; i < paths.size(); ++i) {
        std::string strText;
        Registration registration;
        if (qvn::csp::ReadWholeFile(paths[i], &strText) && ParseRecord(strText, &registration) &&
            matches(registration, i == 0)) {
            *pstrImage = registration.strImage;
            return true;
        }
    }
    return false;
}

} // namespace bcrypt
} // namespace qvn

namespace
{

// Logs the call, and runs it unless a failure is injected into it.
template <class Call> NTSTATUS Logged(const char *pszFunction, Call call)
{
    QVN_CALL_RECORD record = qvn::MakeRecord(pszFunction);
    DWORD dwInjected = 0;
    const NTSTATUS status =
        qvn::ConsumeInjectedFailure(pszFunction, &dwInjected) ? static_cast<NTSTATUS>(dwInjected) : call();
    record.fSucceeded = status >= 0 ? TRUE : FALSE;
    record.dwError = status >= 0 ? 0 : static_cast<DWORD>(status);
    qvn::LogCall(record);
    return status;
}

} // namespace

extern "C" {

NTSTATUS WINAPI BCryptRegisterProvider(LPCWSTR pszProvider, ULONG dwFlags, PCRYPT_PROVIDER_REG pReg)
{
    return Logged("BCryptRegisterProvider", [&] { return Register(pszProvider, dwFlags, pReg); });
}

NTSTATUS WINAPI BCryptUnregisterProvider(LPCWSTR pszProvider)
{
    return Logged("BCryptUnregisterProvider", [&] { return Unregister(pszProvider); });
}

NTSTATUS WINAPI BCryptQueryProviderRegistration(LPCWSTR pszProvider, ULONG dwMode, ULONG dwInterface, ULONG *pcbBuffer,
                                                PCRYPT_PROVIDER_REG *ppBuffer)
{
    return Logged("BCryptQueryProviderRegistration",
                  [&] { return Query(pszProvider, dwMode, dwInterface, pcbBuffer, ppBuffer); });
}

// Releases a buffer that BCryptQueryProviderRegistration allocated; null is
// ignored. It cannot fail, so no failure can be injected into it.
void WINAPI BCryptFreeBuffer(PVOID pvBuffer)
{
    QVN_CALL_RECORD record = qvn::MakeRecord("BCryptFreeBuffer");
    record.hHandle = reinterpret_cast<ULONG_PTR>(pvBuffer);
    record.fSucceeded = TRUE;
    std::free(pvBuffer);
    qvn::LogCall(record);
}

} // extern "C"
