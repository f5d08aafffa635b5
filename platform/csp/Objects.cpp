#include "Objects.h"

#include <atomic>

namespace qvn
{
namespace csp
{

ULONG_PTR NextHandleValue()
{
    static std::atomic<ULONG_PTR> s_next{0x51000};
    return s_next.fetch_add(0x10);
}

bool ReleaseContext(HCRYPTPROV hProv)
{
    if (!Table<ContextObject>().Remove(hProv)) {
        return false;
    }
    Table<HashObject>().RemoveOwnedBy(hProv);
    Table<KeyObject>().RemoveOwnedBy(hProv);
    return true;
}

} // namespace csp
} // namespace qvn
