#include "StatusNames.h"

#include <cctype>
#include <cstdio>

namespace qvnksp
{
namespace
{

struct NamedStatus {
    uint32_t value;
    const char *pszName;
    const char *pszDescription; // the platform's message text for it
};

// Values that have one name whatever the vocabulary. 0 and 1 are handled by kind.
// The descriptions are the platform's message texts (what FormatMessage and
// `certutil -error` give), so that the Linux build reads the same.
const NamedStatus g_rgNames[] = {
    // Win32 error codes (the loader's, and CryptoAPI last-error values that are not NTE_*).
    {2, "ERROR_FILE_NOT_FOUND", "The system cannot find the file specified."},
    {3, "ERROR_PATH_NOT_FOUND", "The system cannot find the path specified."},
    {5, "ERROR_ACCESS_DENIED", "Access is denied."},
    {6, "ERROR_INVALID_HANDLE", "The handle is invalid."},
    {8, "ERROR_NOT_ENOUGH_MEMORY", "Not enough memory resources are available to process this command."},
    {13, "ERROR_INVALID_DATA", "The data is invalid."},
    {14, "ERROR_OUTOFMEMORY", "Not enough memory resources are available to complete this operation."},
    {50, "ERROR_NOT_SUPPORTED", "The request is not supported."},
    {80, "ERROR_FILE_EXISTS", "The file exists."},
    {87, "ERROR_INVALID_PARAMETER", "The parameter is incorrect."},
    {120, "ERROR_CALL_NOT_IMPLEMENTED", "This function is not supported on this system."},
    {122, "ERROR_INSUFFICIENT_BUFFER", "The data area passed to a system call is too small."},
    {126, "ERROR_MOD_NOT_FOUND", "The specified module could not be found."},
    {127, "ERROR_PROC_NOT_FOUND", "The specified procedure could not be found."},
    {160, "ERROR_BAD_ARGUMENTS", "One or more arguments are not correct."},
    {170, "ERROR_BUSY", "The requested resource is in use."},
    {183, "ERROR_ALREADY_EXISTS", "Cannot create a file when that file already exists."},
    {193, "ERROR_BAD_EXE_FORMAT",
     "The file is not a valid Win32 application (for a DLL: often one of the other bitness)."},
    {234, "ERROR_MORE_DATA", "More data is available."},
    {259, "ERROR_NO_MORE_ITEMS", "No more data is available."},
    {288, "ERROR_NOT_OWNER", "Attempt to release mutex not owned by caller."},
    {1004, "ERROR_INVALID_FLAGS", "Invalid flags."},
    {1114, "ERROR_DLL_INIT_FAILED", "A dynamic link library (DLL) initialization routine failed."},
    {1150, "ERROR_OLD_WIN_VERSION", "The specified program requires a newer version of Windows."},
    {1168, "ERROR_NOT_FOUND", "Element not found."},
    {1223, "ERROR_CANCELLED", "The operation was canceled by the user."},
    // Generic HRESULTs.
    {0x80004001u, "E_NOTIMPL", "Not implemented."},
    {0x80004003u, "E_POINTER", "Invalid pointer."},
    {0x80004005u, "E_FAIL", "Unspecified error."},
    {0x8000FFFFu, "E_UNEXPECTED", "Catastrophic failure."},
    {0x80070005u, "E_ACCESSDENIED", "General access denied error."},
    {0x80070006u, "E_HANDLE", "Invalid handle."},
    {0x8007000Eu, "E_OUTOFMEMORY", "Not enough memory resources are available to complete this operation."},
    {0x80070057u, "E_INVALIDARG", "One or more arguments are invalid."},
    // CryptoAPI and CNG key storage statuses.
    {0x80090001u, "NTE_BAD_UID", "Bad UID."},
    {0x80090002u, "NTE_BAD_HASH", "Bad hash."},
    {0x80090003u, "NTE_BAD_KEY", "Bad key."},
    {0x80090004u, "NTE_BAD_LEN", "Bad length."},
    {0x80090005u, "NTE_BAD_DATA", "Bad data."},
    {0x80090006u, "NTE_BAD_SIGNATURE", "Invalid signature."},
    {0x80090007u, "NTE_BAD_VER", "Bad version of provider."},
    {0x80090008u, "NTE_BAD_ALGID", "Invalid algorithm specified."},
    {0x80090009u, "NTE_BAD_FLAGS", "Invalid flags specified."},
    {0x8009000Au, "NTE_BAD_TYPE", "Invalid type specified."},
    {0x8009000Bu, "NTE_BAD_KEY_STATE", "Key not valid for use in specified state."},
    {0x8009000Cu, "NTE_BAD_HASH_STATE", "Hash not valid for use in specified state."},
    {0x8009000Du, "NTE_NO_KEY", "Key does not exist."},
    {0x8009000Eu, "NTE_NO_MEMORY", "Insufficient memory available for the operation."},
    {0x8009000Fu, "NTE_EXISTS", "Object already exists."},
    {0x80090010u, "NTE_PERM", "Access denied."},
    {0x80090011u, "NTE_NOT_FOUND", "Object was not found."},
    {0x80090012u, "NTE_DOUBLE_ENCRYPT", "Data already encrypted."},
    {0x80090013u, "NTE_BAD_PROVIDER", "Invalid provider specified."},
    {0x80090014u, "NTE_BAD_PROV_TYPE", "Invalid provider type specified."},
    {0x80090015u, "NTE_BAD_PUBLIC_KEY", "Provider's public key is invalid."},
    {0x80090016u, "NTE_BAD_KEYSET", "Keyset does not exist."},
    {0x80090017u, "NTE_PROV_TYPE_NOT_DEF", "Provider type not defined."},
    {0x80090018u, "NTE_PROV_TYPE_ENTRY_BAD", "Provider type as registered is invalid."},
    {0x80090019u, "NTE_KEYSET_NOT_DEF", "The keyset is not defined."},
    {0x8009001Au, "NTE_KEYSET_ENTRY_BAD", "Keyset as registered is invalid."},
    {0x8009001Bu, "NTE_PROV_TYPE_NO_MATCH", "Provider type does not match registered value."},
    {0x8009001Cu, "NTE_SIGNATURE_FILE_BAD", "The digital signature file is corrupt."},
    {0x8009001Du, "NTE_PROVIDER_DLL_FAIL", "Provider DLL failed to initialize correctly."},
    {0x8009001Eu, "NTE_PROV_DLL_NOT_FOUND", "Provider DLL could not be found."},
    {0x8009001Fu, "NTE_BAD_KEYSET_PARAM", "The Keyset parameter is invalid."},
    {0x80090020u, "NTE_FAIL", "An internal error occurred."},
    {0x80090021u, "NTE_SYS_ERR", "A base error occurred."},
    {0x80090022u, "NTE_SILENT_CONTEXT",
     "Provider could not perform the action since the context was acquired as silent."},
    {0x80090023u, "NTE_TOKEN_KEYSET_STORAGE_FULL",
     "The security token does not have storage space available for an additional container."},
    {0x80090024u, "NTE_TEMPORARY_PROFILE", "The profile for the user is a temporary profile."},
    {0x80090025u, "NTE_FIXEDPARAMETER", "The key parameters could not be set because the CSP uses fixed parameters."},
    {0x80090026u, "NTE_INVALID_HANDLE", "The supplied handle is invalid."},
    {0x80090027u, "NTE_INVALID_PARAMETER", "The parameter is incorrect."},
    {0x80090028u, "NTE_BUFFER_TOO_SMALL", "The buffer supplied to a function was too small."},
    {0x80090029u, "NTE_NOT_SUPPORTED", "The requested operation is not supported."},
    {0x8009002Au, "NTE_NO_MORE_ITEMS", "No more data is available."},
    {0x8009002Bu, "NTE_BUFFERS_OVERLAP", "The supplied buffers overlap incorrectly."},
    {0x8009002Cu, "NTE_DECRYPTION_FAILURE", "The specified data could not be decrypted."},
    {0x8009002Du, "NTE_INTERNAL_ERROR", "An internal consistency check failed."},
    {0x8009002Eu, "NTE_UI_REQUIRED", "This operation requires input from the user."},
    {0x8009002Fu, "NTE_HMAC_NOT_SUPPORTED", "The cryptographic provider does not support HMAC."},
    {0x80090030u, "NTE_DEVICE_NOT_READY",
     "The device that is required by this cryptographic provider is not ready for use."},
    {0x80090031u, "NTE_AUTHENTICATION_IGNORED",
     "The dictionary attack mitigation is triggered and the provided authorization was ignored by the provider."},
    {0x80090032u, "NTE_VALIDATION_FAILED",
     "The validation of the provided data failed the integrity or signature validation."},
    {0x80090033u, "NTE_INCORRECT_PASSWORD", "Incorrect password."},
    {0x80090034u, "NTE_ENCRYPTION_FAILURE", "Encryption failed."},
    {0x80090035u, "NTE_DEVICE_NOT_FOUND",
     "The device that is required by this cryptographic provider is not found on this platform."},
    {0x80090036u, "NTE_USER_CANCELLED", "The action was cancelled by the user."},
    {0x80090037u, "NTE_PASSWORD_CHANGE_REQUIRED", "The password is no longer valid and must be changed."},
    {0x80090038u, "NTE_NOT_ACTIVE_CONSOLE", "The operation cannot be completed from Terminal Server client sessions."},
    {0x80100030u, "SCARD_E_NO_KEY_CONTAINER", "The requested key container does not exist on the smart card."},
    // NTSTATUS values (GetKeyStorageInterface, bcrypt).
    {0xC0000001u, "STATUS_UNSUCCESSFUL", "The requested operation was unsuccessful."},
    {0xC0000002u, "STATUS_NOT_IMPLEMENTED", "The requested operation is not implemented."},
    {0xC0000008u, "STATUS_INVALID_HANDLE", "An invalid HANDLE was specified."},
    {0xC000000Du, "STATUS_INVALID_PARAMETER", "An invalid parameter was passed to a service or function."},
    {0xC0000017u, "STATUS_NO_MEMORY",
     "Not enough virtual memory or paging file quota is available to complete the specified operation."},
    {0xC0000022u, "STATUS_ACCESS_DENIED",
     "A process has requested access to an object, but has not been granted those access rights."},
    {0xC0000023u, "STATUS_BUFFER_TOO_SMALL", "The buffer is too small to contain the entry."},
    {0xC0000034u, "STATUS_OBJECT_NAME_NOT_FOUND", "The object name is not found."},
    {0xC0000035u, "STATUS_OBJECT_NAME_COLLISION", "The object name already exists."},
    {0xC00000BBu, "STATUS_NOT_SUPPORTED", "The request is not supported."},
    {0xC0000206u, "STATUS_INVALID_BUFFER_SIZE", "The size of the buffer is invalid for the specified operation."},
    {0xC000014Cu, "STATUS_REGISTRY_CORRUPT",
     "The structure of one of the files that contains registry data is corrupt."},
    {0xC0000225u, "STATUS_NOT_FOUND", "The object was not found."},
    {0xC000A000u, "STATUS_INVALID_SIGNATURE", "The cryptographic signature is invalid."},
};

const char *FindName(uint32_t status)
{
    for (const NamedStatus &entry : g_rgNames) {
        if (entry.value == status) {
            return entry.pszName;
        }
    }
    return nullptr;
}

constexpr uint32_t kFacilityNtBit = 0x10000000u;
constexpr uint32_t kWin32HresultBase = 0x80070000u;

} // namespace

std::string StatusName(uint32_t status, StatusKind kind)
{
    if (status == 0) {
        switch (kind) {
        case StatusKind::NtStatus:
            return "STATUS_SUCCESS";
        case StatusKind::HResult:
            return "S_OK";
        default:
            return "ERROR_SUCCESS";
        }
    }
    if (status == 1) {
        return kind == StatusKind::HResult ? "S_FALSE" : "ERROR_INVALID_FUNCTION";
    }
    if (const char *pszName = FindName(status)) {
        return pszName;
    }
    // HRESULT_FROM_NT: an NTSTATUS error with the facility-NT bit set.
    if ((status & 0xF0000000u) == (0xC0000000u | kFacilityNtBit)) {
        if (const char *pszName = FindName(status & ~kFacilityNtBit)) {
            return std::string("HRESULT_FROM_NT(") + pszName + ")";
        }
    }
    // HRESULT_FROM_WIN32: facility 7.
    if ((status & 0xFFFF0000u) == kWin32HresultBase && (status & 0xFFFFu) > 1) {
        if (const char *pszName = FindName(status & 0xFFFFu)) {
            return std::string("HRESULT_FROM_WIN32(") + pszName + ")";
        }
    }
    return "";
}

std::string StatusHex(uint32_t status)
{
    char sz[16];
    std::snprintf(sz, sizeof(sz), "0x%08x", static_cast<unsigned>(status));
    return sz;
}

std::string StatusText(uint32_t status, StatusKind kind)
{
    const std::string strName = StatusName(status, kind);
    return StatusHex(status) + " " + (strName.empty() ? "(unknown)" : strName);
}

namespace
{

// The names of 0 and 1, which differ by vocabulary.
const NamedStatus g_rgKindNames[] = {
    {0, "ERROR_SUCCESS", "The operation completed successfully."},
    {0, "STATUS_SUCCESS", "The operation completed successfully."},
    {0, "S_OK", "The operation completed successfully."},
    {1, "S_FALSE", "Success, with nothing to do (DllUnregisterServer: the provider was not registered)."},
    {1, "ERROR_INVALID_FUNCTION", "Incorrect function."},
};

template <typename Fn> const NamedStatus *FindEntry(Fn fnMatches)
{
    for (const NamedStatus &entry : g_rgKindNames) {
        if (fnMatches(entry)) {
            return &entry;
        }
    }
    for (const NamedStatus &entry : g_rgNames) {
        if (fnMatches(entry)) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

bool StatusFromName(const std::string &strName, uint32_t &status)
{
    std::string strUpper;
    for (const char ch : strName) {
        strUpper += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    const NamedStatus *pEntry = FindEntry([&](const NamedStatus &entry) { return strUpper == entry.pszName; });
    if (pEntry != nullptr) {
        status = pEntry->value;
    }
    return pEntry != nullptr;
}

std::string StatusDescription(const std::string &strName)
{
    // HRESULT_FROM_NT(X) and HRESULT_FROM_WIN32(X) mean what X means.
    const size_t iOpen = strName.find('(');
    const std::string strBase =
        iOpen == std::string::npos ? strName : strName.substr(iOpen + 1, strName.size() - iOpen - 2);
    const NamedStatus *pEntry = FindEntry([&](const NamedStatus &entry) { return strBase == entry.pszName; });
    return pEntry != nullptr ? pEntry->pszDescription : "";
}

} // namespace qvnksp
