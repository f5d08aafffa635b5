// Kernel objects behind handles: events and mutexes, WaitForSingleObject and
// CloseHandle.
//
// A handle is a key in the process's handle table, never a pointer: a value
// that is not in the table (never issued, already closed, NULL,
// INVALID_HANDLE_VALUE) gives ERROR_INVALID_HANDLE. Handle values are
// multiples of 4, as on Windows, but are never reused, so a stale handle can
// never reach another object.
//
// Named objects are supported within the process: creating an event or mutex
// under a name that an open object of the same kind carries returns a new
// handle to that object with ERROR_ALREADY_EXISTS (the initial state and
// initial owner arguments are then ignored); a name carried by an object of
// the other kind gives NULL with ERROR_INVALID_HANDLE. A name is released when
// the last handle to its object is closed. Names are compared exactly.
//
// A mutex whose owning thread ends without releasing it is abandoned: the next
// wait that acquires it returns WAIT_ABANDONED and the waiter owns it.
#include <windows.h>

#include "thread.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace
{

enum class ObjectKind { Event, Mutex };

struct KernelObject {
    explicit KernelObject(ObjectKind kind) : kind(kind) {}

    const ObjectKind kind;
    std::u16string strName; // empty: unnamed (set before the object is shared)
    LONG cHandles = 0;      // guarded by the handle table's mutex

    std::mutex mutex; // guards the state below
    std::condition_variable cvChanged;
    // Event.
    bool fManualReset = false;
    bool fSignalled = false;
    // Mutex.
    DWORD dwOwner = 0; // owning thread, 0 when free
    LONG lRecursion = 0;
    bool fAbandoned = false;
};

using ObjectPtr = std::shared_ptr<KernelObject>;

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<ULONG_PTR, ObjectPtr> handles;
    std::unordered_map<std::u16string, ObjectPtr> names;
    ULONG_PTR nextHandle = 0x1000;
};

// Never destroyed: handles may be used and closed during static destruction.
HandleTable &Table()
{
    static HandleTable *pTable = new HandleTable;
    return *pTable;
}

ULONG_PTR KeyOf(HANDLE h)
{
    return reinterpret_cast<ULONG_PTR>(h);
}

ObjectPtr Lookup(HANDLE h)
{
    HandleTable &table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.handles.find(KeyOf(h));
    return it == table.handles.end() ? nullptr : it->second;
}

ObjectPtr LookupKind(HANDLE h, ObjectKind kind)
{
    ObjectPtr pObject = Lookup(h);
    if (pObject == nullptr || pObject->kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return pObject;
}

// Enters pObject under a new handle. Called with the table's mutex held.
HANDLE IssueHandle(HandleTable &table, const ObjectPtr &pObject)
{
    const ULONG_PTR key = table.nextHandle;
    table.handles.emplace(key, pObject);
    table.nextHandle += 4;
    ++pObject->cHandles;
    return reinterpret_cast<HANDLE>(key);
}

// The mutexes that the calling thread owns, so that they can be abandoned when
// the thread ends.
struct OwnedMutexes {
    std::vector<std::weak_ptr<KernelObject>> mutexes;

    ~OwnedMutexes()
    {
        const DWORD dwSelf = qvn::CurrentThreadId();
        for (const std::weak_ptr<KernelObject> &weak : mutexes) {
            ObjectPtr pObject = weak.lock();
            if (pObject == nullptr) {
                continue;
            }
            std::lock_guard<std::mutex> lock(pObject->mutex);
            if (pObject->dwOwner == dwSelf) {
                pObject->dwOwner = 0;
                pObject->lRecursion = 0;
                pObject->fAbandoned = true;
                pObject->cvChanged.notify_all();
            }
        }
    }
};

thread_local OwnedMutexes t_owned;

void NoteOwned(const ObjectPtr &pObject)
{
    t_owned.mutexes.push_back(pObject);
}

void NoteReleased(const KernelObject *pObject)
{
    auto &mutexes = t_owned.mutexes;
    mutexes.erase(std::remove_if(mutexes.begin(), mutexes.end(),
                                 [pObject](const std::weak_ptr<KernelObject> &weak) {
                                     ObjectPtr pOwned = weak.lock();
                                     return pOwned == nullptr || pOwned.get() == pObject;
                                 }),
                  mutexes.end());
}

// Creates a new object, or opens the one that carries lpName.
// init sets up a newly created object; it runs before the object is shared.
template <typename Init> HANDLE CreateObject(ObjectKind kind, LPCWSTR lpName, Init init)
{
    try {
        const std::u16string strName = lpName == nullptr ? std::u16string() : std::u16string(lpName);
        HandleTable &table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        if (!strName.empty()) {
            auto it = table.names.find(strName);
            if (it != table.names.end()) {
                if (it->second->kind != kind) {
                    SetLastError(ERROR_INVALID_HANDLE);
                    return nullptr;
                }
                HANDLE h = IssueHandle(table, it->second);
                SetLastError(ERROR_ALREADY_EXISTS);
                return h;
            }
        }
        ObjectPtr pObject = std::make_shared<KernelObject>(kind);
        pObject->strName = strName;
        init(pObject);
        if (!strName.empty()) {
            table.names.emplace(strName, pObject);
        }
        HANDLE h = IssueHandle(table, pObject);
        SetLastError(ERROR_SUCCESS);
        return h;
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

// Whether the calling thread could take the object now.
bool IsAvailable(const KernelObject &object, DWORD dwSelf)
{
    if (object.kind == ObjectKind::Event) {
        return object.fSignalled;
    }
    return object.dwOwner == 0 || object.dwOwner == dwSelf;
}

// Takes an available object: consumes an auto-reset event's signal, or
// acquires a mutex. Called with the object's mutex held.
DWORD Acquire(const ObjectPtr &pObject, DWORD dwSelf)
{
    KernelObject &object = *pObject;
    if (object.kind == ObjectKind::Event) {
        if (!object.fManualReset) {
            object.fSignalled = false;
        }
        return WAIT_OBJECT_0;
    }
    if (object.dwOwner == dwSelf) {
        ++object.lRecursion;
        return WAIT_OBJECT_0;
    }
    object.dwOwner = dwSelf;
    object.lRecursion = 1;
    NoteOwned(pObject);
    if (object.fAbandoned) {
        object.fAbandoned = false;
        return WAIT_ABANDONED;
    }
    return WAIT_OBJECT_0;
}

// SetEvent and ResetEvent: a signal wakes the waiters.
BOOL SignalEvent(HANDLE hEvent, bool fSignalled)
{
    ObjectPtr pObject = LookupKind(hEvent, ObjectKind::Event);
    if (pObject == nullptr) {
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(pObject->mutex);
    pObject->fSignalled = fSignalled;
    pObject->cvChanged.notify_all();
    return TRUE;
}

} // namespace

extern "C" {

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName)
{
    (void)lpEventAttributes; // no security or inheritance in one process
    return CreateObject(ObjectKind::Event, lpName, [&](const ObjectPtr &pObject) {
        pObject->fManualReset = bManualReset != FALSE;
        pObject->fSignalled = bInitialState != FALSE;
    });
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    return SignalEvent(hEvent, true);
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    return SignalEvent(hEvent, false);
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName)
{
    (void)lpMutexAttributes;
    return CreateObject(ObjectKind::Mutex, lpName, [&](const ObjectPtr &pObject) {
        if (bInitialOwner) {
            pObject->dwOwner = qvn::CurrentThreadId();
            pObject->lRecursion = 1;
            NoteOwned(pObject);
        }
    });
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex)
{
    ObjectPtr pObject = LookupKind(hMutex, ObjectKind::Mutex);
    if (pObject == nullptr) {
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(pObject->mutex);
    if (pObject->dwOwner != qvn::CurrentThreadId()) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--pObject->lRecursion == 0) {
        pObject->dwOwner = 0;
        NoteReleased(pObject.get());
        pObject->cvChanged.notify_all();
    }
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    ObjectPtr pObject = Lookup(hHandle);
    if (pObject == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    const DWORD dwSelf = qvn::CurrentThreadId();
    std::unique_lock<std::mutex> lock(pObject->mutex);
    auto available = [&] { return IsAvailable(*pObject, dwSelf); };
    if (!available()) {
        if (dwMilliseconds == 0) {
            return WAIT_TIMEOUT;
        }
        if (dwMilliseconds == INFINITE) {
            pObject->cvChanged.wait(lock, available);
        } else {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
            if (!pObject->cvChanged.wait_until(lock, deadline, available)) {
                return WAIT_TIMEOUT;
            }
        }
    }
    return Acquire(pObject, dwSelf);
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    ObjectPtr pClosed; // destroyed after the table's mutex is released
    HandleTable &table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.handles.find(KeyOf(hObject));
    if (it == table.handles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    pClosed = std::move(it->second);
    table.handles.erase(it);
    if (--pClosed->cHandles == 0 && !pClosed->strName.empty()) {
        table.names.erase(pClosed->strName);
    }
    return TRUE;
}

} // extern "C"
