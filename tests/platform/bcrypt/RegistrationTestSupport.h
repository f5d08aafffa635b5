// Helpers of the provider-registration tests: a CRYPT_PROVIDER_REG built
// from owned strings, a text form of a record for comparisons, and a fixture
// that gives each test a fresh platform and key store (and so a provider
// configuration) of its own.
#ifndef QVN_TESTS_PLATFORM_BCRYPT_REGISTRATIONTESTSUPPORT_H
#define QVN_TESTS_PLATFORM_BCRYPT_REGISTRATIONTESTSUPPORT_H

#include <windows.h>
#include <bcrypt.h>
#include <ntstatus.h>
#include <bcrypt_provider.h>
#include <qvnplatform.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace bcrypt_test
{

constexpr LPCWSTR kSample = u"Sample Provider";

struct Interface {
    ULONG dwInterface, dwFlags;
    std::vector<std::u16string> functions;
};
struct Image {
    std::u16string strName;
    std::vector<Interface> interfaces;
};

// A CRYPT_PROVIDER_REG whose pointers lead into this object.
class Record
{
public:
    Record(const std::vector<std::u16string> &aliases, const std::optional<Image> &um,
           const std::optional<Image> &km = std::nullopt)
        : m_reg{static_cast<ULONG>(aliases.size()), Strings(aliases), Place(um), Place(km)}
    {
    }
    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;
    PCRYPT_PROVIDER_REG Get() { return &m_reg; }

private:
    // Copies live in deques, whose elements never move.
    PWSTR *Strings(const std::vector<std::u16string> &strings)
    {
        std::vector<PWSTR> &pointers = m_stringArrays.emplace_back();
        for (const std::u16string &str : strings) {
            pointers.push_back(&m_strings.emplace_back(str)[0]);
        }
        return pointers.empty() ? nullptr : pointers.data();
    }
    PCRYPT_IMAGE_REG Place(const std::optional<Image> &image)
    {
        if (!image) {
            return nullptr;
        }
        std::vector<PCRYPT_INTERFACE_REG> &pointers = m_interfaceArrays.emplace_back();
        for (const Interface &entry : image->interfaces) {
            pointers.push_back(&m_interfaces.emplace_back(
                CRYPT_INTERFACE_REG{entry.dwInterface, entry.dwFlags, static_cast<ULONG>(entry.functions.size()),
                                    Strings(entry.functions)}));
        }
        return &m_images.emplace_back(CRYPT_IMAGE_REG{&m_strings.emplace_back(image->strName)[0],
                                                      static_cast<ULONG>(pointers.size()),
                                                      pointers.empty() ? nullptr : pointers.data()});
    }

    std::deque<std::u16string> m_strings;
    std::deque<std::vector<PWSTR>> m_stringArrays;
    std::deque<CRYPT_INTERFACE_REG> m_interfaces;
    std::deque<std::vector<PCRYPT_INTERFACE_REG>> m_interfaceArrays;
    std::deque<CRYPT_IMAGE_REG> m_images;
    CRYPT_PROVIDER_REG m_reg;
};

// Two aliases and one user-mode image "Sample.dll" with a key storage
// interface (CRYPT_LOCAL, "KEY_STORAGE") and a cipher interface (CRYPT_DOMAIN,
// "AES", "3DES").
inline Record Sample()
{
    return Record({u"Sample Alias One", u"Sample Alias Two"},
                  Image{u"Sample.dll",
                        {{NCRYPT_KEY_STORAGE_INTERFACE, CRYPT_LOCAL, {u"KEY_STORAGE"}},
                         {BCRYPT_CIPHER_INTERFACE, CRYPT_DOMAIN, {u"AES", u"3DES"}}}});
}

inline NTSTATUS Register(LPCWSTR pszProvider, ULONG dwFlags, Record &&record)
{
    return BCryptRegisterProvider(pszProvider, dwFlags, record.Get());
}

// Text of ASCII characters.
inline std::string Text(const WCHAR *psz)
{
    std::string str;
    while (psz != nullptr && *psz != 0) {
        str += static_cast<char>(*psz++);
    }
    return str;
}

// A record as text: "[alias, ...] um <image> {interface/flags [function ...] ...} km ...".
inline std::string Describe(const CRYPT_PROVIDER_REG &reg)
{
    std::string str = "[";
    for (ULONG i = 0; i < reg.cAliases; ++i) {
        str += (i == 0 ? "" : ", ") + Text(reg.rgpszAliases[i]);
    }
    str += "]";
    for (const PCRYPT_IMAGE_REG pImage : {reg.pUM, reg.pKM}) {
        str += pImage == reg.pUM ? " um " : " km ";
        if (pImage == nullptr) {
            str += "-";
            continue;
        }
        str += Text(pImage->pszImage) + " {";
        for (ULONG i = 0; i < pImage->cInterfaces; ++i) {
            const CRYPT_INTERFACE_REG &entry = *pImage->rgpInterfaces[i];
            char sz[32];
            std::snprintf(sz, sizeof(sz), " %x/%x [", static_cast<unsigned>(entry.dwInterface),
                          static_cast<unsigned>(entry.dwFlags));
            str += sz;
            for (ULONG j = 0; j < entry.cFunctions; ++j) {
                str += " " + Text(entry.rgpszFunctions[j]);
            }
            str += " ]";
        }
        str += " }";
    }
    return str;
}

// A registration as text, queried into an allocated buffer; the query's
// status if it fails (checking that it wrote nothing).
inline std::string Query(LPCWSTR pszProvider, ULONG dwMode = CRYPT_UM, ULONG dwInterface = NCRYPT_KEY_STORAGE_INTERFACE)
{
    ULONG cbBuffer = 0x5A5A;
    PCRYPT_PROVIDER_REG pReg = nullptr;
    const NTSTATUS status = BCryptQueryProviderRegistration(pszProvider, dwMode, dwInterface, &cbBuffer, &pReg);
    if (status != STATUS_SUCCESS) {
        EXPECT_EQ(nullptr, pReg); // a failed query writes nothing
        EXPECT_EQ(0x5A5Au, cbBuffer);
        char sz[32];
        std::snprintf(sz, sizeof(sz), "status 0x%08X", static_cast<unsigned>(status));
        return sz;
    }
    const std::string str = Describe(*pReg);
    BCryptFreeBuffer(pReg);
    return str;
}

const std::string kNotFound = "status 0xC0000225";
const std::string kSampleKeyStorage =
    "[Sample Alias One, Sample Alias Two] um Sample.dll { 10001/1 [ KEY_STORAGE ] } km -";

// A fresh platform and a throw-away key store directory for every test.
class RegistrationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QvnPlatformReset();
        char szTemplate[] = "/tmp/qvn-bcrypt-store-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(szTemplate));
        m_strStore = szTemplate;
        QvnPlatformSetStoreDirectory(m_strStore.c_str());
    }
    void TearDown() override
    {
        QvnPlatformReset();
        std::error_code ec;
        std::filesystem::remove_all(m_strStore, ec);
    }
    // Where the stand-in keeps the registrations of this store.
    std::string DataFile() const { return m_strStore + "/cng-providers/providers"; }

    std::string m_strStore;
};

} // namespace bcrypt_test

#endif
