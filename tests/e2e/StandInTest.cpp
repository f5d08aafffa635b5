// Cases that need the Linux stand-in's emulated Windows version, so they are
// built for Linux only. (CryptoAPI calls failing with error 0, a plain Win32
// code or a CSP error, and failing allocations, are swept in tests/hardening.)
#include "E2E.h"

#include <tuple>

namespace e2e
{
namespace
{

// Below Windows 6.0 every accepted name is refused with STATUS_NOT_SUPPORTED;
// the name is checked before the version, the version before the rest.
TEST_F(KspTest, GetKeyStorageInterfaceNeedsWindowsSix)
{
    const NTSTATUS kNotSupported = static_cast<NTSTATUS>(0xC00000BBL);
    const std::tuple<DWORD, DWORD, LPCWSTR, NTSTATUS> rows[] = {
        {5, 2, E2E_KSP_NAME, kNotSupported},
        {5, 99, E2E_ALDER_NAME, kNotSupported},
        {6, 0, E2E_ALDER_NAME, 0},
        {10, 0, E2E_KSP_NAME, 0},
        {5, 1, TEXT("Quorvane"), static_cast<NTSTATUS>(0xC000000DL)}};
    for (const auto &row : rows) {
        QvnPlatformSetWindowsVersion(std::get<0>(row), std::get<1>(row));
        ExpectTable("version", std::get<2>(row), 0, std::get<3>(row));
    }
    ExpectTable("version-null-out", E2E_KSP_NAME, 1, kNotSupported, true);
}

} // namespace
} // namespace e2e
