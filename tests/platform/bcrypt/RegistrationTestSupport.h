// Helpers of the provider-registration tests: a registration described with
// owned strings, the CRYPT_PROVIDER_REG built from it, the same description
// read back from a CRYPT_PROVIDER_REG, and a fixture that gives each test a
// fresh platform and a key store (and so a provider configuration) of its own.
#ifndef QVN_TESTS_PLATFORM_BCRYPT_REGISTRATIONTESTSUPPORT_H
#define QVN_TESTS_PLATFORM_BCRYPT_REGISTRATIONTESTSUPPORT_H

#include <windows.h>
#include <bcrypt.h>
#include <ntstatus.h>
#include <bcrypt_provider.h>
#include <qvnplatform.h>

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace bcrypt_test
{

// Not in the stand-in's ntstatus.h: what the configuration answers when its
// data cannot be read.
constexpr NTSTATUS kStatusRegistryCorrupt = static_cast<NTSTATUS>(0xC000014C);

// NTSTATUS values compared and printed in hex.
struct Status {
    NTSTATUS value;
};
inline bool operator==(Status a, Status b)
{
    return a.value == b.value;
}
std::ostream &operator<<(std::ostream &os, Status status);

#define EXPECT_NT(expected, actual)                                                                                    \
    EXPECT_EQ(::bcrypt_test::Status{static_cast<NTSTATUS>(expected)},                                                  \
              ::bcrypt_test::Status{static_cast<NTSTATUS>(actual)})
#define ASSERT_NT(expected, actual)                                                                                    \
    ASSERT_EQ(::bcrypt_test::Status{static_cast<NTSTATUS>(expected)},                                                  \
              ::bcrypt_test::Status{static_cast<NTSTATUS>(actual)})

struct InterfaceSpec {
    ULONG dwInterface = 0;
    ULONG dwFlags = 0;
    std::vector<std::u16string> functions;
};

struct ImageSpec {
    std::u16string strImage;
    std::vector<InterfaceSpec> interfaces;
};

struct ProviderSpec {
    std::vector<std::u16string> aliases;
    std::optional<ImageSpec> userMode;
    std::optional<ImageSpec> kernelMode;
};

bool operator==(const InterfaceSpec &a, const InterfaceSpec &b);
bool operator==(const ImageSpec &a, const ImageSpec &b);
bool operator==(const ProviderSpec &a, const ProviderSpec &b);
void PrintTo(const ProviderSpec &spec, std::ostream *os);

// The CRYPT_PROVIDER_REG of a ProviderSpec; its pointers lead into this object.
class CryptRecord
{
public:
    explicit CryptRecord(ProviderSpec spec);
    CryptRecord(const CryptRecord &) = delete;
    CryptRecord &operator=(const CryptRecord &) = delete;

    PCRYPT_PROVIDER_REG Get() { return &m_reg; }

private:
    struct ImageParts {
        CRYPT_IMAGE_REG image{};
        std::vector<CRYPT_INTERFACE_REG> interfaces;
        std::vector<PCRYPT_INTERFACE_REG> interfacePointers;
        std::vector<std::vector<PWSTR>> functions;
    };
    static PCRYPT_IMAGE_REG Build(ImageSpec &spec, ImageParts &parts);

    ProviderSpec m_spec;
    std::vector<PWSTR> m_aliases;
    ImageParts m_userMode;
    ImageParts m_kernelMode;
    CRYPT_PROVIDER_REG m_reg{};
};

// What a CRYPT_PROVIDER_REG says, as a ProviderSpec.
ProviderSpec ReadBack(const CRYPT_PROVIDER_REG &reg);

// Queries a registration into an allocated buffer and reads it back; the
// status of the query in *pStatus.
ProviderSpec Query(LPCWSTR pszProvider, ULONG dwMode, ULONG dwInterface, NTSTATUS *pStatus);

// Registers spec under pszProvider.
NTSTATUS Register(LPCWSTR pszProvider, ULONG dwFlags, ProviderSpec spec);

// A provider with one user-mode image "Sample.dll" holding a key storage
// interface (CRYPT_LOCAL, function "KEY_STORAGE") and a cipher interface
// (CRYPT_DOMAIN, functions "AES", "3DES"), with two aliases.
ProviderSpec SampleProvider();

// The records of one function in the call log, in order.
std::vector<QVN_CALL_RECORD> CallsOf(const char *pszFunction);

std::string Narrow(const std::u16string &str);

// A fresh platform and a throw-away key store directory for every test.
class RegistrationTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    const std::string &StoreDirectory() const { return m_strStore; }
    // Where the stand-in keeps the registrations of this store.
    std::string DataFile() const { return m_strStore + "/cng-providers/providers"; }

private:
    std::string m_strStore;
};

} // namespace bcrypt_test

#endif
