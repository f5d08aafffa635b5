// A stand-in for QvnTpmKsp.dll whose registration is refused the way a real
// one is when BCryptRegisterProvider fails (access denied, as NTSTATUS with
// bit 28 set). Packaged in place of the product, it shows that a failed
// registration fails the whole install and rolls it back.
#include <windows.h>

namespace
{
constexpr HRESULT kRegistrationRefused = static_cast<HRESULT>(0xD0000022);
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllRegisterServer()
{
    OutputDebugStringA("RefusingProvider: DllRegisterServer refuses");
    return kRegistrationRefused;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllUnregisterServer()
{
    OutputDebugStringA("RefusingProvider: DllUnregisterServer");
    return S_OK;
}
