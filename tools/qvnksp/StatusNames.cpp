#include "StatusNames.h"

#include <cstdio>

namespace qvnksp
{
namespace
{

struct NamedStatus {
    uint32_t value;
    const char *pszName;
};

// Values that have one name whatever the vocabulary. 0 and 1 are handled by kind.
const NamedStatus g_rgNames[] = {
    // Win32 error codes (the loader's, and CryptoAPI last-error values that are not NTE_*).
    {2, "ERROR_FILE_NOT_FOUND"},
    {3, "ERROR_PATH_NOT_FOUND"},
    {5, "ERROR_ACCESS_DENIED"},
    {6, "ERROR_INVALID_HANDLE"},
    {8, "ERROR_NOT_ENOUGH_MEMORY"},
    {13, "ERROR_INVALID_DATA"},
    {14, "ERROR_OUTOFMEMORY"},
    {50, "ERROR_NOT_SUPPORTED"},
    {80, "ERROR_FILE_EXISTS"},
    {87, "ERROR_INVALID_PARAMETER"},
    {120, "ERROR_CALL_NOT_IMPLEMENTED"},
    {122, "ERROR_INSUFFICIENT_BUFFER"},
    {126, "ERROR_MOD_NOT_FOUND"},
    {127, "ERROR_PROC_NOT_FOUND"},
    {160, "ERROR_BAD_ARGUMENTS"},
    {170, "ERROR_BUSY"},
    {183, "ERROR_ALREADY_EXISTS"},
    {193, "ERROR_BAD_EXE_FORMAT"},
    {234, "ERROR_MORE_DATA"},
    {259, "ERROR_NO_MORE_ITEMS"},
    {288, "ERROR_NOT_OWNER"},
    {1004, "ERROR_INVALID_FLAGS"},
    {1114, "ERROR_DLL_INIT_FAILED"},
    {1150, "ERROR_OLD_WIN_VERSION"},
    {1168, "ERROR_NOT_FOUND"},
    {1223, "ERROR_CANCELLED"},
    // Generic HRESULTs.
    {0x80004001u, "E_NOTIMPL"},
    {0x80004003u, "E_POINTER"},
    {0x80004005u, "E_FAIL"},
    {0x8000FFFFu, "E_UNEXPECTED"},
    {0x80070005u, "E_ACCESSDENIED"},
    {0x80070006u, "E_HANDLE"},
    {0x8007000Eu, "E_OUTOFMEMORY"},
    {0x80070057u, "E_INVALIDARG"},
    // CryptoAPI and CNG key storage statuses.
    {0x80090001u, "NTE_BAD_UID"},
    {0x80090002u, "NTE_BAD_HASH"},
    {0x80090003u, "NTE_BAD_KEY"},
    {0x80090004u, "NTE_BAD_LEN"},
    {0x80090005u, "NTE_BAD_DATA"},
    {0x80090006u, "NTE_BAD_SIGNATURE"},
    {0x80090007u, "NTE_BAD_VER"},
    {0x80090008u, "NTE_BAD_ALGID"},
    {0x80090009u, "NTE_BAD_FLAGS"},
    {0x8009000Au, "NTE_BAD_TYPE"},
    {0x8009000Bu, "NTE_BAD_KEY_STATE"},
    {0x8009000Cu, "NTE_BAD_HASH_STATE"},
    {0x8009000Du, "NTE_NO_KEY"},
    {0x8009000Eu, "NTE_NO_MEMORY"},
    {0x8009000Fu, "NTE_EXISTS"},
    {0x80090010u, "NTE_PERM"},
    {0x80090011u, "NTE_NOT_FOUND"},
    {0x80090012u, "NTE_DOUBLE_ENCRYPT"},
    {0x80090013u, "NTE_BAD_PROVIDER"},
    {0x80090014u, "NTE_BAD_PROV_TYPE"},
    {0x80090015u, "NTE_BAD_PUBLIC_KEY"},
    {0x80090016u, "NTE_BAD_KEYSET"},
    {0x80090017u, "NTE_PROV_TYPE_NOT_DEF"},
    {0x80090018u, "NTE_PROV_TYPE_ENTRY_BAD"},
    {0x80090019u, "NTE_KEYSET_NOT_DEF"},
    {0x8009001Au, "NTE_KEYSET_ENTRY_BAD"},
    {0x8009001Bu, "NTE_PROV_TYPE_NO_MATCH"},
    {0x8009001Cu, "NTE_SIGNATURE_FILE_BAD"},
    {0x8009001Du, "NTE_PROVIDER_DLL_FAIL"},
    {0x8009001Eu, "NTE_PROV_DLL_NOT_FOUND"},
    {0x8009001Fu, "NTE_BAD_KEYSET_PARAM"},
    {0x80090020u, "NTE_FAIL"},
    {0x80090021u, "NTE_SYS_ERR"},
    {0x80090022u, "NTE_SILENT_CONTEXT"},
    {0x80090023u, "NTE_TOKEN_KEYSET_STORAGE_FULL"},
    {0x80090024u, "NTE_TEMPORARY_PROFILE"},
    {0x80090025u, "NTE_FIXEDPARAMETER"},
    {0x80090026u, "NTE_INVALID_HANDLE"},
    {0x80090027u, "NTE_INVALID_PARAMETER"},
    {0x80090028u, "NTE_BUFFER_TOO_SMALL"},
    {0x80090029u, "NTE_NOT_SUPPORTED"},
    {0x8009002Au, "NTE_NO_MORE_ITEMS"},
    {0x8009002Bu, "NTE_BUFFERS_OVERLAP"},
    {0x8009002Cu, "NTE_DECRYPTION_FAILURE"},
    {0x8009002Du, "NTE_INTERNAL_ERROR"},
    {0x8009002Eu, "NTE_UI_REQUIRED"},
    {0x8009002Fu, "NTE_HMAC_NOT_SUPPORTED"},
    {0x80090030u, "NTE_DEVICE_NOT_READY"},
    {0x80090031u, "NTE_AUTHENTICATION_IGNORED"},
    {0x80090032u, "NTE_VALIDATION_FAILED"},
    {0x80090033u, "NTE_INCORRECT_PASSWORD"},
    {0x80090034u, "NTE_ENCRYPTION_FAILURE"},
    {0x80090035u, "NTE_DEVICE_NOT_FOUND"},
    {0x80090036u, "NTE_USER_CANCELLED"},
    {0x80090037u, "NTE_PASSWORD_CHANGE_REQUIRED"},
    {0x80090038u, "NTE_NOT_ACTIVE_CONSOLE"},
    {0x80100030u, "SCARD_E_NO_KEY_CONTAINER"},
    // NTSTATUS values (GetKeyStorageInterface, bcrypt).
    {0xC0000001u, "STATUS_UNSUCCESSFUL"},
    {0xC0000002u, "STATUS_NOT_IMPLEMENTED"},
    {0xC0000008u, "STATUS_INVALID_HANDLE"},
    {0xC000000Du, "STATUS_INVALID_PARAMETER"},
    {0xC0000017u, "STATUS_NO_MEMORY"},
    {0xC0000022u, "STATUS_ACCESS_DENIED"},
    {0xC0000023u, "STATUS_BUFFER_TOO_SMALL"},
    {0xC0000034u, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC0000035u, "STATUS_OBJECT_NAME_COLLISION"},
    {0xC00000BBu, "STATUS_NOT_SUPPORTED"},
    {0xC0000206u, "STATUS_INVALID_BUFFER_SIZE"},
    {0xC000014Cu, "STATUS_REGISTRY_CORRUPT"},
    {0xC0000225u, "STATUS_NOT_FOUND"},
    {0xC000A000u, "STATUS_INVALID_SIGNATURE"},
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

bool StatusFromName(const std::string &strName, uint32_t &status)
{
    static const NamedStatus rgSpecial[] = {
        {0, "ERROR_SUCCESS"}, {0, "STATUS_SUCCESS"}, {0, "S_OK"}, {1, "S_FALSE"}, {1, "ERROR_INVALID_FUNCTION"},
    };
    for (const NamedStatus &entry : rgSpecial) {
        if (strName == entry.pszName) {
            status = entry.value;
            return true;
        }
    }
    for (const NamedStatus &entry : g_rgNames) {
        if (strName == entry.pszName) {
            status = entry.value;
            return true;
        }
    }
    return false;
}

} // namespace qvnksp
