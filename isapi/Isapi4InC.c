// Isapi4.h compiled as C. The nginx module includes it from C, and nginx's
// build runs long after ours, so a C++-only construct in the header is to
// fail here, in every build (the Windows ones too, where the records are
// checked for 32 bits and the callbacks carry __stdcall). Compiled as C11,
// the header's layout assertions run in C as well.
#include "isapi/Isapi4.h"

// A host written in C fills the context with callbacks of its own; a
// calling convention the header gives its records but a C definition cannot
// match would surface as an incompatible pointer here.
static int32_t QELMOR_WINAPI NoVariable(HTTP_FILTER_CONTEXT* pfc, char* name, void* buffer,
                                        uint32_t* size) {
    (void)pfc;
    (void)name;
    (void)buffer;
    (void)size;
    return 0;
}

static uint32_t QELMOR_WINAPI NoFilter(HTTP_FILTER_CONTEXT* pfc, uint32_t notificationType,
                                       void* pvNotification) {
    (void)pfc;
    (void)pvNotification;
    return notificationType == SF_NOTIFY_URL_MAP ? SF_STATUS_REQ_NEXT_NOTIFICATION
                                                 : SF_STATUS_REQ_HANDLED_NOTIFICATION;
}

const HTTP_FILTER_CONTEXT qelmor_isapi_context_in_c = {
    .cb = sizeof(HTTP_FILTER_CONTEXT),
    .Revision = HTTP_FILTER_REVISION,
    .GetServerVariable = NoVariable,
};

const PFN_HTTPFILTERPROC qelmor_isapi_filter_in_c = NoFilter;
