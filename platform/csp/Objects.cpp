#include "Objects.h"

#include <atomic>
#include <unordered_map>
#include <vector>

namespace qvn
{
namespace csp
{
namespace
{

// Handle values of all three kinds come from one counter, so no value ever
// names objects of two kinds; they start well above small integers that a
// caller might pass by mistake.
ULONG_PTR NextHandleValue()
{
    static std::atomic<ULONG_PTR> s_next{0x51000};
    return s_next.fetch_add(0x10);
}

template <class T> class HandleTable
{
public:
    ULONG_PTR Add(std::shared_ptr<T> object)
    {
        const ULONG_PTR handle = NextHandleValue();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_objects.emplace(handle, std::move(object));
        return handle;
    }

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

// The tables live for the whole process, also while static objects are being
// destroyed at exit (a module may release its handles then).
HandleTable<ContextObject> &Contexts()
{
    static auto *pTable = new HandleTable<ContextObject>;
    return *pTable;
}

HandleTable<KeyObject> &Keys()
{
    static auto *pTable = new HandleTable<KeyObject>;
    return *pTable;
}

HandleTable<HashObject> &Hashes()
{
    static auto *pTable = new HandleTable<HashObject>;
    return *pTable;
}

} // namespace

HCRYPTPROV AddContext(std::shared_ptr<ContextObject> context)
{
    return Contexts().Add(std::move(context));
}

HCRYPTKEY AddKey(std::shared_ptr<KeyObject> key)
{
    return Keys().Add(std::move(key));
}

HCRYPTHASH AddHash(std::shared_ptr<HashObject> hash)
{
    return Hashes().Add(std::move(hash));
}

std::shared_ptr<ContextObject> FindContext(HCRYPTPROV hProv)
{
    return Contexts().Find(hProv);
}

std::shared_ptr<KeyObject> FindKey(HCRYPTKEY hKey)
{
    return Keys().Find(hKey);
}

std::shared_ptr<HashObject> FindHash(HCRYPTHASH hHash)
{
    return Hashes().Find(hHash);
}

bool ReleaseContext(HCRYPTPROV hProv)
{
    if (!Contexts().Remove(hProv)) {
        return false;
    }
    Hashes().RemoveOwnedBy(hProv);
    Keys().RemoveOwnedBy(hProv);
    return true;
}

bool RemoveKey(HCRYPTKEY hKey)
{
    return Keys().Remove(hKey) != nullptr;
}

bool RemoveHash(HCRYPTHASH hHash)
{
    return Hashes().Remove(hHash) != nullptr;
}

LONG LiveContextCount()
{
    return Contexts().Count();
}

LONG LiveKeyCount()
{
    return Keys().Count();
}

LONG LiveHashCount()
{
    return Hashes().Count();
}

} // namespace csp
} // namespace qvn
