// The two exports of the filter library and, on POSIX, the load and unload
// steps that the Windows build runs from DllMain.
#include "filter/Lifecycle.h"
#include "isapi/Isapi4.h"

#ifdef _WIN32
#include <windows.h>
#define QELMOR_EXPORT
#else
#define QELMOR_EXPORT __attribute__((visibility("default")))
#endif

extern "C" QELMOR_EXPORT int32_t QELMOR_WINAPI GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
    return qelmor::RegisterFilter(pVer);
}

extern "C" QELMOR_EXPORT uint32_t QELMOR_WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc,
                                                               uint32_t notificationType,
                                                               void* pvNotification) {
    return qelmor::HandleNotification(pfc, notificationType, pvNotification);
}

#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            DisableThreadLibraryCalls(instance);
            return qelmor::LoadModule() ? TRUE : FALSE;
        case DLL_PROCESS_DETACH:
            qelmor::UnloadModule();
            return TRUE;
        default:
            return TRUE;
    }
}
#else
namespace {

// A shared object's constructor cannot fail dlopen; when the storage cannot
// be had, GetFilterVersion reports FALSE and the host does not use the
// filter.
__attribute__((constructor)) void LoadFilterModule() {
    qelmor::LoadModule();
}
__attribute__((destructor)) void UnloadFilterModule() {
    qelmor::UnloadModule();
}

}  // namespace
#endif
