// The objects behind CryptoAPI handles (contexts, keys, hashes) and the tables
// that map handle values to them. A handle value is only ever a key into its
// table, never a pointer; values are never reused within a process, so a
// stale handle is simply absent. Lookups hand out shared ownership, so an
// object stays alive while a call on another thread still uses it.
#ifndef QVN_CSP_OBJECTS_H
#define QVN_CSP_OBJECTS_H

#include "ContainerStore.h"
#include "HashAlgorithms.h"
#include "Providers.h"
#include "RsaKey.h"

#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qvn
{
namespace csp
{

// An acquired context: a key container, or none for a verification context.
struct ContextObject {
    const ProviderInfo *pProvider = nullptr;
    bool fVerifyContext = false;
    bool fSilent = false;
    ContainerLocation location; // the container (unused for a verification context)

    std::mutex mutex; // guards the two pairs and the enumeration
    std::optional<KeyPair> exchange;
    std::optional<KeyPair> signature;
    // PP_ENUMCONTAINERS: the names taken when the enumeration began, and the next one.
    std::vector<std::string> containerNames;
    size_t iNextContainer = 0;
    bool fEnumerating = false;
};

// A key handle: a container's key pair, a generated or imported pair, or an
// imported public key.
struct KeyObject {
    HCRYPTPROV hOwner = 0; // the context it belongs to
    const ProviderInfo *pProvider = nullptr;
    ALG_ID algid = 0; // CALG_RSA_KEYX or CALG_RSA_SIGN
    bool fExportable = false;
    std::shared_ptr<const RsaKey> key;
};

// A hash object: its value is whatever the caller last set.
struct HashObject {
    HCRYPTPROV hOwner = 0;
    const ProviderInfo *pProvider = nullptr;
    const HashAlgorithm *pAlgorithm = nullptr;

    std::mutex mutex; // guards the value
    bool fHasValue = false;
    uint8_t abValue[64] = {};
};

// Registration. Each returns the new handle value (never 0).
HCRYPTPROV AddContext(std::shared_ptr<ContextObject> context);
HCRYPTKEY AddKey(std::shared_ptr<KeyObject> key);
HCRYPTHASH AddHash(std::shared_ptr<HashObject> hash);

// Lookup; null when the handle is not (or no longer) a live one of that kind.
std::shared_ptr<ContextObject> FindContext(HCRYPTPROV hProv);
std::shared_ptr<KeyObject> FindKey(HCRYPTKEY hKey);
std::shared_ptr<HashObject> FindHash(HCRYPTHASH hHash);

// Removal; false when the handle was not live. Releasing a context destroys
// the keys and hashes created on it as well.
bool ReleaseContext(HCRYPTPROV hProv);
bool RemoveKey(HCRYPTKEY hKey);
bool RemoveHash(HCRYPTHASH hHash);

LONG LiveContextCount();
LONG LiveKeyCount();
LONG LiveHashCount();

} // namespace csp
} // namespace qvn

#endif
