// The loader's DllMain contract for a module built as a Linux shared object,
// playing the part that a DLL's C runtime start-up code plays on Windows.
//
// It is linked into the module after the module's own objects, so its
// initialiser runs after the module's static initialisation: that is the
// process attach. It then registers the process detach with the module's
// __dso_handle; handlers registered later run earlier, so the detach runs
// before the module's static objects are destroyed, both at dlclose and at
// process exit.
#include <windows.h>
#include <qvnplatform.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);
extern "C" int __cxa_atexit(void (*pfnDestructor)(void *), void *pvArgument, void *pvDsoHandle);
extern "C" void *__dso_handle;

namespace
{

HINSTANCE ModuleInstance()
{
    return reinterpret_cast<HINSTANCE>(&__dso_handle);
}

void ProcessDetach(void *)
{
    // A real loader passes a non-null reserved pointer when the process ends;
    // the module must not depend on it, so the stand-in always passes null.
    DllMain(ModuleInstance(), DLL_PROCESS_DETACH, nullptr);
}

struct LoaderNotifications {
    LoaderNotifications()
    {
        DllMain(ModuleInstance(), DLL_PROCESS_ATTACH, nullptr);
        __cxa_atexit(ProcessDetach, nullptr, &__dso_handle);
    }
};

LoaderNotifications g_loaderNotifications;

} // namespace

#ifdef QVN_COVERAGE
// The coverage runtime (libgcov) is linked into the module, so its mallocs are
// the module's too; a test that arms a module malloc failure must not fail the
// writing of the counts at unload. The module is linked with
// --wrap=__gcov_exit, so the write passes through here.
extern "C" void __real___gcov_exit(void);
extern "C" void __wrap___gcov_exit(void)
{
    QvnPlatformPassModuleMallocs(TRUE);
    __real___gcov_exit();
    QvnPlatformPassModuleMallocs(FALSE);
}
#endif
