// The records, constants and status codes of the ISAPI filter interface,
// version 4.0, as far as the filter and our hosts use them.
//
// DWORD is uint32_t and BOOL int32_t; pointers and callbacks are
// pointer-sized, so the records have the layout of the server's own on 32-
// and 64-bit Windows. The Windows type names are deliberately not declared
// here, so this header can sit beside <windows.h>.
//
// The header is C as well as C++: the nginx module, which nginx builds as C,
// includes it, so that a host never carries a copy of the records that could
// drift from the filter's. Keep it to C99 (the build compiles it as C99 and
// as C11, pedantic, to hold it there).
#pragma once

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
#else
#include <stddef.h>
#include <stdint.h>
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define QELMOR_WINAPI __stdcall
#else
#define QELMOR_WINAPI
#endif

// The C++ code compares the constants with DWORDs, so there they are
// unsigned; C has no fixed enum type before C23, and there they are int,
// which holds every value below.
#ifdef __cplusplus
#define QELMOR_ISAPI_DWORD_ENUM : uint32_t
#else
#define QELMOR_ISAPI_DWORD_ENUM
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum QELMOR_ISAPI_DWORD_ENUM {
    HTTP_FILTER_REVISION = 0x00040000,  // version 4.0
    SF_MAX_FILTER_DESC_LEN = 256 + 1,

    SF_NOTIFY_SECURE_PORT = 0x00000001,
    SF_NOTIFY_NONSECURE_PORT = 0x00000002,
    SF_NOTIFY_READ_RAW_DATA = 0x00008000,
    SF_NOTIFY_PREPROC_HEADERS = 0x00004000,
    SF_NOTIFY_AUTHENTICATION = 0x00002000,
    SF_NOTIFY_URL_MAP = 0x00001000,
    SF_NOTIFY_ACCESS_DENIED = 0x00000800,
    SF_NOTIFY_SEND_RESPONSE = 0x00000040,
    SF_NOTIFY_SEND_RAW_DATA = 0x00000400,
    SF_NOTIFY_LOG = 0x00000200,
    SF_NOTIFY_END_OF_REQUEST = 0x00000080,
    SF_NOTIFY_END_OF_NET_SESSION = 0x00000100,

    SF_NOTIFY_ORDER_HIGH = 0x00080000,
    SF_NOTIFY_ORDER_MEDIUM = 0x00040000,
    SF_NOTIFY_ORDER_LOW = 0x00020000,
    SF_NOTIFY_ORDER_DEFAULT = SF_NOTIFY_ORDER_LOW,

    SF_STATUS_REQ_FINISHED = 0x08000000,
    SF_STATUS_REQ_FINISHED_KEEP_CONN = 0x08000001,
    SF_STATUS_REQ_NEXT_NOTIFICATION = 0x08000002,
    SF_STATUS_REQ_HANDLED_NOTIFICATION = 0x08000003,
    SF_STATUS_REQ_ERROR = 0x08000004,
    SF_STATUS_REQ_READ_NEXT = 0x08000005,
};

// Win32 error codes a server reports through its callbacks: SetLastError on
// Windows, errno elsewhere.
enum QELMOR_ISAPI_DWORD_ENUM {
    ERROR_NOT_ENOUGH_MEMORY_CODE = 8,
    ERROR_INVALID_PARAMETER_CODE = 87,
    ERROR_INSUFFICIENT_BUFFER_CODE = 122,
    ERROR_INVALID_INDEX_CODE = 1413,
};

#undef QELMOR_ISAPI_DWORD_ENUM

typedef struct _HTTP_FILTER_VERSION {
    uint32_t dwServerFilterVersion;
    uint32_t dwFilterVersion;
    char lpszFilterDesc[SF_MAX_FILTER_DESC_LEN];
    uint32_t dwFlags;
} HTTP_FILTER_VERSION, *PHTTP_FILTER_VERSION;

typedef struct _HTTP_FILTER_CONTEXT {
    uint32_t cb;
    uint32_t Revision;
    void* ServerContext;
    uint32_t ulReserved;
    int32_t fIsSecurePort;
    void* pFilterContext;

    int32_t(QELMOR_WINAPI* GetServerVariable)(struct _HTTP_FILTER_CONTEXT* pfc,
                                              char* lpszVariableName, void* lpvBuffer,
                                              uint32_t* lpdwSize);
    int32_t(QELMOR_WINAPI* AddResponseHeaders)(struct _HTTP_FILTER_CONTEXT* pfc, char* lpszHeaders,
                                               uint32_t dwReserved);
    int32_t(QELMOR_WINAPI* WriteClient)(struct _HTTP_FILTER_CONTEXT* pfc, void* Buffer,
                                        uint32_t* lpdwBytes, uint32_t dwReserved);
    void*(QELMOR_WINAPI* AllocMem)(struct _HTTP_FILTER_CONTEXT* pfc, uint32_t cbSize,
                                   uint32_t dwReserved);
    int32_t(QELMOR_WINAPI* ServerSupportFunction)(struct _HTTP_FILTER_CONTEXT* pfc, uint32_t sfReq,
                                                  void* pData, uintptr_t ul1, uintptr_t ul2);
} HTTP_FILTER_CONTEXT, *PHTTP_FILTER_CONTEXT;

typedef struct _HTTP_FILTER_URL_MAP {
    const char* pszURL;
    char* pszPhysicalPath;
    uint32_t cbPathBuff;
} HTTP_FILTER_URL_MAP, *PHTTP_FILTER_URL_MAP;

// The two exports of a filter library, as a host looks them up.
typedef int32_t(QELMOR_WINAPI* PFN_GETFILTERVERSION)(HTTP_FILTER_VERSION* pVer);
typedef uint32_t(QELMOR_WINAPI* PFN_HTTPFILTERPROC)(HTTP_FILTER_CONTEXT* pfc,
                                                    uint32_t notificationType,
                                                    void* pvNotification);

#ifdef __cplusplus
}  // extern "C"
#endif

// The layouts of the server's records, in both languages: a host in C and
// the filter in C++ must agree on every offset, not only on the sizes.
#if defined(__cplusplus)
#define QELMOR_ISAPI_LAYOUT(condition, what) static_assert(condition, what)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define QELMOR_ISAPI_LAYOUT(condition, what) _Static_assert(condition, what)
#endif

#ifdef QELMOR_ISAPI_LAYOUT
#define QELMOR_ISAPI_WIDE (sizeof(void*) == 8)

QELMOR_ISAPI_LAYOUT(offsetof(HTTP_FILTER_VERSION, lpszFilterDesc) == 8, "version record layout");
QELMOR_ISAPI_LAYOUT(offsetof(HTTP_FILTER_VERSION, dwFlags) == 4 + 4 + 257 + 3,
                    "version record layout");
QELMOR_ISAPI_LAYOUT(sizeof(HTTP_FILTER_VERSION) == 4 + 4 + 257 + 3 + 4, "version record layout");

QELMOR_ISAPI_LAYOUT(offsetof(HTTP_FILTER_CONTEXT, ServerContext) == 8, "context layout");
QELMOR_ISAPI_LAYOUT(offsetof(HTTP_FILTER_CONTEXT, ulReserved) == (QELMOR_ISAPI_WIDE ? 16 : 12),
                    "context layout");
QELMOR_ISAPI_LAYOUT(offsetof(HTTP_FILTER_CONTEXT, fIsSecurePort) == (QELMOR_ISAPI_WIDE ? 20 : 16),
                    "context layout");
QELMOR_ISAPI_LAYOUT(offsetof(HTTP_FILTER_CONTEXT, pFilterContext) == (QELMOR_ISAPI_WIDE ? 24 : 20),
                    "context layout");
QELMOR_ISAPI_LAYOUT(offsetof(HTTP_FILTER_CONTEXT, GetServerVariable) ==
                        (QELMOR_ISAPI_WIDE ? 32 : 24),
                    "context layout");
QELMOR_ISAPI_LAYOUT(offsetof(HTTP_FILTER_CONTEXT, ServerSupportFunction) ==
                        (QELMOR_ISAPI_WIDE ? 64 : 40),
                    "context layout");
QELMOR_ISAPI_LAYOUT(sizeof(HTTP_FILTER_CONTEXT) == (QELMOR_ISAPI_WIDE ? 72 : 44), "context layout");

QELMOR_ISAPI_LAYOUT(offsetof(HTTP_FILTER_URL_MAP, pszPhysicalPath) == sizeof(void*),
                    "URL-map record layout");
QELMOR_ISAPI_LAYOUT(offsetof(HTTP_FILTER_URL_MAP, cbPathBuff) == 2 * sizeof(void*),
                    "URL-map record layout");
QELMOR_ISAPI_LAYOUT(sizeof(HTTP_FILTER_URL_MAP) == 3 * sizeof(void*), "URL-map record layout");

#undef QELMOR_ISAPI_WIDE
#undef QELMOR_ISAPI_LAYOUT
#endif
