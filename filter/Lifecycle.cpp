#include "filter/Lifecycle.h"

#include <cstring>
#include <new>
#include <utility>

#include "filter/UrlMapPolicy.h"
#include "platform/Platform.h"
#include "text/DateRules.h"

namespace qelmor {
namespace {

FilterConfig* filterConfig = nullptr;

}  // namespace

bool LoadModule() {
    try {
        InstallLocale(ReadLocaleSettings(platform::ReadHostLocale()));
    } catch (...) {
        // The defaults stay in place; the load does not depend on the locale.
    }
    filterConfig = new (std::nothrow) FilterConfig;
    return filterConfig != nullptr;
}

void UnloadModule() {
    delete filterConfig;
    filterConfig = nullptr;
}

const FilterConfig* CurrentFilterConfig() {
    return filterConfig;
}

int32_t RegisterFilter(HTTP_FILTER_VERSION* version) {
    if (version == nullptr) return 0;
    // Without its storage the filter cannot guard anything: a host that sees
    // FALSE refuses to run with it.
    if (filterConfig == nullptr) return 0;
    try {
        // Built aside and moved in whole: a registration that fails leaves
        // the settings as they were.
        FilterConfig fresh;
        LoadFilterConfig(fresh, ConfigFileName());
        *filterConfig = std::move(fresh);
    } catch (...) {
        // A KAVRO.ini that memory cannot hold is not a missing one: its
        // defaults guard nothing, so the filter does not register at all and
        // the server refuses to run with it.
        return 0;
    }
    version->dwFilterVersion = HTTP_FILTER_REVISION;
    std::memset(version->lpszFilterDesc, 0, sizeof version->lpszFilterDesc);
    std::memcpy(version->lpszFilterDesc, kFilterDescription, sizeof kFilterDescription - 1);
    version->dwFlags = SF_NOTIFY_ORDER_HIGH | SF_NOTIFY_URL_MAP;
    return ~int32_t(0);  // TRUE with all bits set
}

uint32_t HandleNotification(HTTP_FILTER_CONTEXT* context, uint32_t notificationType,
                            void* notification) {
    // A guarded file is never served because the decision could not be made.
    if (filterConfig == nullptr) return SF_STATUS_REQ_FINISHED;
    try {
        return UrlMapPolicy(context, notificationType, notification, *filterConfig, CurrentLocale())
            .status;
    } catch (...) {
        return SF_STATUS_REQ_FINISHED;
    }
}

}  // namespace qelmor
