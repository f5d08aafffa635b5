// One CNG provider registration as the stand-in keeps it: the provider name,
// its aliases in order, and the user-mode and kernel-mode images, each with
// its interfaces, their flags and function names.
//
// Conversions: from the CRYPT_PROVIDER_REG that BCryptRegisterProvider takes
// (checking it), to and from the text kept on disk, and into the one
// self-contained buffer that BCryptQueryProviderRegistration hands out.
#ifndef QVN_POSIX_BCRYPT_PROVIDERREGISTRATION_H
#define QVN_POSIX_BCRYPT_PROVIDERREGISTRATION_H

#include <windows.h>
#include <bcrypt.h>

#include <optional>
#include <string>
#include <vector>

namespace qvn
{
namespace bcrypt
{

struct InterfaceRegistration {
    ULONG dwInterface = 0;
    ULONG dwFlags = 0;
    std::vector<std::u16string> functions;
};

struct ImageRegistration {
    std::u16string strImage;
    std::vector<InterfaceRegistration> interfaces;
};

struct ProviderRegistration {
    std::u16string strName;
    std::vector<std::u16string> aliases;
    std::optional<ImageRegistration> userMode;   // pUM
    std::optional<ImageRegistration> kernelMode; // pKM
};

// The longest provider name: a registry key name holds at most 255 characters.
constexpr size_t kMaxProviderName = 255;

// True when pszName can name a provider: not null, not empty, at most
// kMaxProviderName characters and without a backslash (the registry's path
// separator).
bool IsValidProviderName(LPCWSTR pszName);

// Provider names compare as registry key names do: letters a-z equal A-Z,
// every other character compares exactly.
bool SameProviderName(const std::u16string &strLeft, const std::u16string &strRight);

// Copies a registration record. False (nothing usable in *pResult) when the
// record is malformed: no image at all, a count above zero with a null array,
// a null or empty alias, image name or function name.
bool CopyFromCryptRecord(LPCWSTR pszName, const CRYPT_PROVIDER_REG &reg, ProviderRegistration *pResult);

// The text of a list of registrations, and back. ParseRegistrations returns
// false when the text is not such a list.
std::string FormatRegistrations(const std::vector<ProviderRegistration> &registrations);
bool ParseRegistrations(const std::string &strText, std::vector<ProviderRegistration> *pRegistrations);

// Lays registration out as one CRYPT_PROVIDER_REG followed by everything it
// points to, at pbBuffer (suitably aligned, cbBuffer bytes). Returns the
// number of bytes the layout needs; nothing is written when pbBuffer is null
// or cbBuffer is smaller than that.
size_t MarshalRegistration(const ProviderRegistration &registration, BYTE *pbBuffer, size_t cbBuffer);

} // namespace bcrypt
} // namespace qvn

#endif
