// The module's malloc and free. The module is linked with --wrap=malloc and
// --wrap=free, so its calls arrive here; this library itself is not wrapped,
// so malloc and free below are the process's real ones.
//
// Every module block is entered in a map from address to size while it lives:
// the size is what a tracked free reports, and only blocks found there count
// as module frees.
#include <windows.h>
#include <qvnplatform.h>

#include "runtime.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace
{

struct FreeRecord {
    SIZE_T cbBlock;
    bool fAllZero;
};

struct AllocState {
    std::mutex mutex;
    std::unordered_map<void *, size_t> blocks;
    DWORD dwMallocCount = 0;
    DWORD dwFailCountdown = 0; // 0: no failure pending
    bool fTrackFrees = false;
    bool fPass = false; // the coverage runtime writing its counts
    std::vector<FreeRecord> frees;
};

// Never destroyed: the module may allocate and free during static destruction.
AllocState &State()
{
    static AllocState *pState = new AllocState;
    return *pState;
}

bool AllZero(const void *pv, size_t cb)
{
    const unsigned char *pb = static_cast<const unsigned char *>(pv);
    return std::all_of(pb, pb + cb, [](unsigned char b) { return b == 0; });
}

} // namespace

namespace qvn
{

void ResetModuleAllocControls()
{
    AllocState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.dwMallocCount = 0;
    state.dwFailCountdown = 0;
    state.fTrackFrees = false;
    state.frees.clear();
}

} // namespace qvn

extern "C" {

void *__wrap_malloc(size_t cb)
{
    AllocState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.fPass) {
        return std::malloc(cb);
    }
    ++state.dwMallocCount;
    if (state.dwFailCountdown != 0 && --state.dwFailCountdown == 0) {
        return nullptr;
    }
    void *pv = std::malloc(cb);
    if (pv != nullptr) {
        try {
            state.blocks[pv] = cb;
        } catch (...) {
            std::free(pv);
            return nullptr;
        }
    }
    return pv;
}

void __wrap_free(void *pv)
{
    if (pv == nullptr) {
        return;
    }
    AllocState &state = State();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        auto it = state.blocks.find(pv);
        if (it != state.blocks.end()) {
            if (state.fTrackFrees) {
                try {
                    state.frees.push_back({it->second, AllZero(pv, it->second)});
                } catch (...) {
                    // A record that cannot be stored is lost; the free goes on.
                }
            }
            state.blocks.erase(it);
        }
    }
    std::free(pv);
}

void QvnPlatformFailModuleMalloc(DWORD nthCall)
{
    AllocState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.dwFailCountdown = nthCall;
}

void QvnPlatformPassModuleMallocs(BOOL fPass)
{
    AllocState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.fPass = fPass != FALSE;
}

DWORD QvnPlatformModuleMallocCount(void)
{
    AllocState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.dwMallocCount;
}

LONG QvnPlatformModuleLiveBlocks(void)
{
    AllocState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return static_cast<LONG>(state.blocks.size());
}

void QvnPlatformResetModuleCounters(void)
{
    AllocState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.dwMallocCount = 0;
    state.frees.clear();
}

void QvnPlatformTrackModuleFrees(BOOL fTrack)
{
    AllocState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.fTrackFrees = fTrack != FALSE;
    if (state.fTrackFrees) {
        state.frees.clear();
    }
}

BOOL QvnPlatformGetModuleFree(DWORD dwIndex, SIZE_T *pcbBlock, BOOL *pfAllZero)
{
    AllocState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (dwIndex >= state.frees.size()) {
        return FALSE;
    }
    if (pcbBlock != nullptr) {
        *pcbBlock = state.frees[dwIndex].cbBlock;
    }
    *pfAllZero = state.frees[dwIndex].fAllZero ? TRUE : FALSE;
    return TRUE;
}

} // extern "C"
