// Names of the status values that the module, CryptoAPI, bcrypt and the
// loader return: NTE_*, STATUS_*, ERROR_*, S_* and E_*.
#ifndef QVNKSP_STATUSNAMES_H
#define QVNKSP_STATUSNAMES_H

#include <cstdint>
#include <string>

namespace qvnksp
{

// Which vocabulary a value comes from. It decides how 0 and 1 read (ERROR_SUCCESS,
// STATUS_SUCCESS, S_OK / S_FALSE); every other value has one name whatever its kind.
enum class StatusKind {
    SecurityStatus, // table entries and CryptoAPI last-error values
    NtStatus,       // GetKeyStorageInterface, bcrypt
    HResult,        // DllRegisterServer, DllUnregisterServer
    Win32,          // the loader's last-error values
};

// "NTE_BAD_KEYSET", "HRESULT_FROM_NT(STATUS_NOT_FOUND)", ... or "" when unknown.
std::string StatusName(uint32_t status, StatusKind kind);
// "0x80090016"
std::string StatusHex(uint32_t status);
// "0x80090016 NTE_BAD_KEYSET" (or "0x12345678 (unknown)").
std::string StatusText(uint32_t status, StatusKind kind);
// The value of a name from the table ("NTE_BAD_KEYSET", any letter case); false when unknown.
bool StatusFromName(const std::string &strName, uint32_t &status);
// What a named status means, as the platform's message text says it ("Keyset
// does not exist."); "" for a name that is not in the table.
std::string StatusDescription(const std::string &strName);

} // namespace qvnksp

#endif
