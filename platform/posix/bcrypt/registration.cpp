// bcrypt's provider configuration functions: BCryptRegisterProvider,
// BCryptUnregisterProvider, BCryptQueryProviderRegistration and
// BCryptFreeBuffer, over the registrations of RegistrationStore.
//
// Each call honours an injected failure first (it then returns the injected
// value as its NTSTATUS and does nothing) and is entered in the call log with
// szProvider = the provider name and dwFlags = the call's dwFlags (for the
// query: its dwMode, with dwInterface in dwParam and the buffer size passed in
// cbData). Like every NTSTATUS function they leave the thread's last-error
// value alone.
#include "ProviderRegistration.h"
#include "RegistrationStore.h"
#include "../controls/controls.h"

#include <windows.h>
#include <bcrypt.h>
#include <ntstatus.h>
#include <bcrypt_provider.h>

#include <cstdlib>
#include <new>

using qvn::bcrypt::ProviderRegistration;

namespace
{

NTSTATUS Finish(QVN_CALL_RECORD &record, NTSTATUS status)
{
    record.fSucceeded = status >= 0 ? TRUE : FALSE;
    record.dwError = status >= 0 ? 0 : static_cast<DWORD>(status);
    qvn::LogCall(record);
    return status;
}

bool InjectedFailure(const char *pszFunction, NTSTATUS *pStatus)
{
    DWORD dwError = 0;
    if (!qvn::ConsumeInjectedFailure(pszFunction, &dwError)) {
        return false;
    }
    *pStatus = static_cast<NTSTATUS>(dwError);
    return true;
}

bool IsQueryMode(ULONG dwMode)
{
    return dwMode == CRYPT_UM || dwMode == CRYPT_KM || dwMode == CRYPT_MM || dwMode == CRYPT_ANY;
}

// Keeps of an image only the entries of one interface; false when it has none.
bool KeepInterface(std::optional<qvn::bcrypt::ImageRegistration> &image, ULONG dwInterface)
{
    if (!image) {
        return false;
    }
    auto &interfaces = image->interfaces;
    for (auto it = interfaces.begin(); it != interfaces.end();) {
        it = it->dwInterface == dwInterface ? it + 1 : interfaces.erase(it);
    }
    if (interfaces.empty()) {
        image.reset();
        return false;
    }
    return true;
}

NTSTATUS QueryRegistration(LPCWSTR pszProvider, ULONG dwMode, ULONG dwInterface, ULONG *pcbBuffer,
                           PCRYPT_PROVIDER_REG *ppBuffer)
{
    if (!qvn::bcrypt::IsValidProviderName(pszProvider) || pcbBuffer == nullptr || !IsQueryMode(dwMode)) {
        return STATUS_INVALID_PARAMETER;
    }
    ProviderRegistration registration;
    NTSTATUS status = STATUS_SUCCESS;
    try {
        status = qvn::bcrypt::FindRegistration(pszProvider, &registration);
        if (status != STATUS_SUCCESS) {
            return status;
        }
        // CRYPT_ANY and CRYPT_MM answer every image that has the interface.
        const bool fUserMode = dwMode != CRYPT_KM && KeepInterface(registration.userMode, dwInterface);
        const bool fKernelMode = dwMode != CRYPT_UM && KeepInterface(registration.kernelMode, dwInterface);
        if (!fUserMode) {
            registration.userMode.reset();
        }
        if (!fKernelMode) {
            registration.kernelMode.reset();
        }
        if (!fUserMode && !fKernelMode) {
            return STATUS_NOT_FOUND;
        }
    } catch (const std::bad_alloc &) {
        return STATUS_NO_MEMORY;
    }

    const size_t cbNeeded = qvn::bcrypt::MarshalRegistration(registration, nullptr, 0);
    if (cbNeeded > 0xFFFFFFFFu) {
        return STATUS_UNSUCCESSFUL;
    }
    if (ppBuffer == nullptr) {
        *pcbBuffer = static_cast<ULONG>(cbNeeded);
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (*ppBuffer == nullptr) {
        BYTE *pbBuffer = static_cast<BYTE *>(std::malloc(cbNeeded));
        if (pbBuffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
        qvn::bcrypt::MarshalRegistration(registration, pbBuffer, cbNeeded);
        *ppBuffer = reinterpret_cast<PCRYPT_PROVIDER_REG>(pbBuffer);
        *pcbBuffer = static_cast<ULONG>(cbNeeded);
        return STATUS_SUCCESS;
    }
    if (*pcbBuffer < cbNeeded) {
        *pcbBuffer = static_cast<ULONG>(cbNeeded);
        return STATUS_BUFFER_TOO_SMALL;
    }
    qvn::bcrypt::MarshalRegistration(registration, reinterpret_cast<BYTE *>(*ppBuffer), *pcbBuffer);
    *pcbBuffer = static_cast<ULONG>(cbNeeded);
    return STATUS_SUCCESS;
}

} // namespace

extern "C" {

NTSTATUS WINAPI BCryptRegisterProvider(LPCWSTR pszProvider, ULONG dwFlags, PCRYPT_PROVIDER_REG pReg)
{
    QVN_CALL_RECORD record = qvn::MakeRecord("BCryptRegisterProvider");
    qvn::CopyWide(record.szProvider, sizeof(record.szProvider) / sizeof(WCHAR), pszProvider);
    record.dwFlags = dwFlags;

    NTSTATUS status = STATUS_SUCCESS;
    if (InjectedFailure("BCryptRegisterProvider", &status)) {
        return Finish(record, status);
    }
    if (!qvn::bcrypt::IsValidProviderName(pszProvider) || pReg == nullptr || (dwFlags & ~CRYPT_OVERWRITE) != 0) {
        return Finish(record, STATUS_INVALID_PARAMETER);
    }
    try {
        ProviderRegistration registration;
        if (!qvn::bcrypt::CopyFromCryptRecord(pszProvider, *pReg, &registration)) {
            return Finish(record, STATUS_INVALID_PARAMETER);
        }
        status = qvn::bcrypt::StoreRegistration(registration, (dwFlags & CRYPT_OVERWRITE) != 0);
    } catch (const std::bad_alloc &) {
        status = STATUS_NO_MEMORY;
    }
    return Finish(record, status);
}

NTSTATUS WINAPI BCryptUnregisterProvider(LPCWSTR pszProvider)
{
    QVN_CALL_RECORD record = qvn::MakeRecord("BCryptUnregisterProvider");
    qvn::CopyWide(record.szProvider, sizeof(record.szProvider) / sizeof(WCHAR), pszProvider);

    NTSTATUS status = STATUS_SUCCESS;
    if (InjectedFailure("BCryptUnregisterProvider", &status)) {
        return Finish(record, status);
    }
    if (!qvn::bcrypt::IsValidProviderName(pszProvider)) {
        return Finish(record, STATUS_INVALID_PARAMETER);
    }
    try {
        status = qvn::bcrypt::RemoveRegistration(pszProvider);
    } catch (const std::bad_alloc &) {
        status = STATUS_NO_MEMORY;
    }
    return Finish(record, status);
}

NTSTATUS WINAPI BCryptQueryProviderRegistration(LPCWSTR pszProvider, ULONG dwMode, ULONG dwInterface, ULONG *pcbBuffer,
                                                PCRYPT_PROVIDER_REG *ppBuffer)
{
    QVN_CALL_RECORD record = qvn::MakeRecord("BCryptQueryProviderRegistration");
    qvn::CopyWide(record.szProvider, sizeof(record.szProvider) / sizeof(WCHAR), pszProvider);
    record.dwFlags = dwMode;
    record.dwParam = dwInterface;
    record.cbData = pcbBuffer != nullptr ? *pcbBuffer : 0;

    NTSTATUS status = STATUS_SUCCESS;
    if (InjectedFailure("BCryptQueryProviderRegistration", &status)) {
        return Finish(record, status);
    }
    return Finish(record, QueryRegistration(pszProvider, dwMode, dwInterface, pcbBuffer, ppBuffer));
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
