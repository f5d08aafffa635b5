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
#include <unordered_map>
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

// Handle values of all three kinds come from one counter, so no value ever
// names objects of two kinds; they start well above small integers that a
// caller might pass by mistake.
ULONG_PTR NextHandleValue();

// The live objects of one kind by handle value.
template <class T> class HandleTable
{
public:
    // The new handle value (never 0).
    ULONG_PTR Add(std::shared_ptr<T> object)
    {
        const ULONG_PTR handle = NextHandleValue();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_objects.emplace(handle, std::move(object));
        return handle;
    }

    // Null when the handle is not (or no longer) a live one of this kind.
    std::shared_ptr<T> Find(ULONG_PTR handle)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_objects.find(handle);
        return it == m_objects.end() ? nullptr : it->second;
    }

    // The removed object, or null. The caller lets it go outside the lock.
    std::shared_ptr<T> Remove(ULONG_PTR handle)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_objects.find(handle);
        if (it == m_objects.end()) {
            return nullptr;
        }
        std::shared_ptr<T> object = std::move(it->second);
        m_objects.erase(it);
        return object;
    }

    // Removes every object that belongs to a context; returns them so that
    // they are destroyed outside the lock.
    std::vector<std::shared_ptr<T>> RemoveOwnedBy(HCRYPTPROV hOwner)
    {
        std::vector<std::shared_ptr<T>> removed;
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_objects.begin(); it != m_objects.end();) {
            if (it->second->hOwner == hOwner) {
                removed.push_back(std::move(it->second));
                it = m_objects.erase(it);
            } else {
                ++it;
            }
        }
        return removed;
    }

    LONG Count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<LONG>(m_objects.size());
    }

private:
    std::mutex m_mutex;
    std::unordered_map<ULONG_PTR, std::shared_ptr<T>> m_objects;
};

// The table of each kind (ContextObject, KeyObject, HashObject). It lives for
// the whole process, also while static objects are being destroyed at exit (a
// module may release its handles then).
template <class T> HandleTable<T> &Table()
{
    static auto *pTable = new HandleTable<T>;
    return *pTable;
}

// Removes the context and destroys the keys and hashes created on it as
// well; false when the handle was not live.
bool ReleaseContext(HCRYPTPROV hProv);

} // namespace csp
} // namespace qvn

#endif
