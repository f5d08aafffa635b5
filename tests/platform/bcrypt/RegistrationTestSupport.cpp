#include "RegistrationTestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace bcrypt_test
{

std::ostream &operator<<(std::ostream &os, Status status)
{
    char szText[16];
    std::snprintf(szText, sizeof(szText), "0x%08X", static_cast<unsigned int>(status.value));
    return os << szText;
}

bool operator==(const InterfaceSpec &a, const InterfaceSpec &b)
{
    return a.dwInterface == b.dwInterface && a.dwFlags == b.dwFlags && a.functions == b.functions;
}

bool operator==(const ImageSpec &a, const ImageSpec &b)
{
    return a.strImage == b.strImage && a.interfaces == b.interfaces;
}

bool operator==(const ProviderSpec &a, const ProviderSpec &b)
{
    return a.aliases == b.aliases && a.userMode == b.userMode && a.kernelMode == b.kernelMode;
}

std::string Narrow(const std::u16string &str)
{
    std::string strResult;
    for (char16_t ch : str) {
        strResult.push_back(ch < 0x80 ? static_cast<char>(ch) : '?');
    }
    return strResult;
}

namespace
{

void PrintImage(const char *pszMode, const std::optional<ImageSpec> &image, std::ostream *os)
{
    *os << ' ' << pszMode << '=';
    if (!image) {
        *os << "none";
        return;
    }
    *os << '"' << Narrow(image->strImage) << "\" {";
    for (const InterfaceSpec &entry : image->interfaces) {
        *os << " 0x" << std::hex << entry.dwInterface << "/0x" << entry.dwFlags << std::dec << " [";
        for (const std::u16string &strFunction : entry.functions) {
            *os << ' ' << Narrow(strFunction);
        }
        *os << " ]";
    }
    *os << " }";
}

} // namespace

void PrintTo(const ProviderSpec &spec, std::ostream *os)
{
    *os << "aliases [";
    for (const std::u16string &strAlias : spec.aliases) {
        *os << " \"" << Narrow(strAlias) << '"';
    }
    *os << " ]";
    PrintImage("um", spec.userMode, os);
    PrintImage("km", spec.kernelMode, os);
}

CryptRecord::CryptRecord(ProviderSpec spec) : m_spec(std::move(spec))
{
    for (std::u16string &strAlias : m_spec.aliases) {
        m_aliases.push_back(strAlias.data());
    }
    m_reg.cAliases = static_cast<ULONG>(m_aliases.size());
    m_reg.rgpszAliases = m_aliases.empty() ? nullptr : m_aliases.data();
    m_reg.pUM = m_spec.userMode ? Build(*m_spec.userMode, m_userMode) : nullptr;
    m_reg.pKM = m_spec.kernelMode ? Build(*m_spec.kernelMode, m_kernelMode) : nullptr;
}

PCRYPT_IMAGE_REG CryptRecord::Build(ImageSpec &spec, ImageParts &parts)
{
    parts.interfaces.resize(spec.interfaces.size());
    parts.functions.resize(spec.interfaces.size());
    for (size_t i = 0; i < spec.interfaces.size(); ++i) {
        InterfaceSpec &entry = spec.interfaces[i];
        for (std::u16string &strFunction : entry.functions) {
            parts.functions[i].push_back(strFunction.data());
        }
        parts.interfaces[i].dwInterface = entry.dwInterface;
        parts.interfaces[i].dwFlags = entry.dwFlags;
        parts.interfaces[i].cFunctions = static_cast<ULONG>(entry.functions.size());
        parts.interfaces[i].rgpszFunctions = parts.functions[i].empty() ? nullptr : parts.functions[i].data();
        parts.interfacePointers.push_back(&parts.interfaces[i]);
    }
    parts.image.pszImage = spec.strImage.data();
    parts.image.cInterfaces = static_cast<ULONG>(spec.interfaces.size());
    parts.image.rgpInterfaces = parts.interfacePointers.empty() ? nullptr : parts.interfacePointers.data();
    return &parts.image;
}

namespace
{

std::optional<ImageSpec> ReadImage(const CRYPT_IMAGE_REG *pImage)
{
    if (pImage == nullptr) {
        return std::nullopt;
    }
    ImageSpec spec;
    spec.strImage = pImage->pszImage;
    for (ULONG i = 0; i < pImage->cInterfaces; ++i) {
        const CRYPT_INTERFACE_REG &entry = *pImage->rgpInterfaces[i];
        InterfaceSpec interfaceSpec;
        interfaceSpec.dwInterface = entry.dwInterface;
        interfaceSpec.dwFlags = entry.dwFlags;
        for (ULONG j = 0; j < entry.cFunctions; ++j) {
            interfaceSpec.functions.emplace_back(entry.rgpszFunctions[j]);
        }
        spec.interfaces.push_back(std::move(interfaceSpec));
    }
    return spec;
}

} // namespace

ProviderSpec ReadBack(const CRYPT_PROVIDER_REG &reg)
{
    ProviderSpec spec;
    for (ULONG i = 0; i < reg.cAliases; ++i) {
        spec.aliases.emplace_back(reg.rgpszAliases[i]);
    }
    spec.userMode = ReadImage(reg.pUM);
    spec.kernelMode = ReadImage(reg.pKM);
    return spec;
}

ProviderSpec Query(LPCWSTR pszProvider, ULONG dwMode, ULONG dwInterface, NTSTATUS *pStatus)
{
    ULONG cbBuffer = 0;
    PCRYPT_PROVIDER_REG pReg = nullptr;
    *pStatus = BCryptQueryProviderRegistration(pszProvider, dwMode, dwInterface, &cbBuffer, &pReg);
    if (*pStatus != STATUS_SUCCESS) {
        return ProviderSpec{};
    }
    ProviderSpec spec = ReadBack(*pReg);
    BCryptFreeBuffer(pReg);
    return spec;
}

NTSTATUS Register(LPCWSTR pszProvider, ULONG dwFlags, ProviderSpec spec)
{
    CryptRecord record(std::move(spec));
    return BCryptRegisterProvider(pszProvider, dwFlags, record.Get());
}

ProviderSpec SampleProvider()
{
    ProviderSpec spec;
    spec.aliases = {u"Sample Alias One", u"Sample Alias Two"};
    ImageSpec image;
    image.strImage = u"Sample.dll";
    image.interfaces.push_back(InterfaceSpec{NCRYPT_KEY_STORAGE_INTERFACE, CRYPT_LOCAL, {u"KEY_STORAGE"}});
    image.interfaces.push_back(InterfaceSpec{BCRYPT_CIPHER_INTERFACE, CRYPT_DOMAIN, {u"AES", u"3DES"}});
    spec.userMode = image;
    return spec;
}

std::vector<QVN_CALL_RECORD> CallsOf(const char *pszFunction)
{
    std::vector<QVN_CALL_RECORD> records;
    const DWORD cCalls = QvnPlatformGetCallCount();
    for (DWORD i = 0; i < cCalls; ++i) {
        QVN_CALL_RECORD record;
        if (QvnPlatformGetCall(i, &record) && std::string(record.szFunction) == pszFunction) {
            records.push_back(record);
        }
    }
    return records;
}

void RegistrationTest::SetUp()
{
    QvnPlatformReset();
    char szTemplate[] = "/tmp/qvn-bcrypt-store-XXXXXX";
    const char *pszStore = mkdtemp(szTemplate);
    ASSERT_NE(pszStore, nullptr);
    m_strStore = pszStore;
    QvnPlatformSetStoreDirectory(m_strStore.c_str());
}

void RegistrationTest::TearDown()
{
    QvnPlatformReset();
    if (!m_strStore.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_strStore, ec);
    }
}

} // namespace bcrypt_test
