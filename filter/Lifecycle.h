// The module's load and unload steps and the bodies of the two entry points,
// which guard the boundary: no exception leaves them.
#pragma once

#include <cstdint>

#include "filter/FilterConfig.h"
#include "isapi/Isapi4.h"
#include "text/DateRules.h"

namespace qelmor {

inline constexpr char kFilterDescription[] = "qelmor.0";

// What one registration established: the configuration and the host's date
// settings it was read with. Built whole, published whole, never changed.
struct FilterSettings {
    FilterConfig config;
    LocaleSettings locale;
};

// Reads the host's locale settings and publishes the default settings, which
// stand until the first registration. False when that storage cannot be
// had: the load fails.
bool LoadModule();
void UnloadModule();

// Reads KAVRO.ini into new settings and publishes them for the requests that
// start after it; a request keeps the settings it started with to its end.
// FALSE, with the settings in force unchanged, when they cannot be built.
int32_t RegisterFilter(HTTP_FILTER_VERSION* version);
uint32_t HandleNotification(HTTP_FILTER_CONTEXT* context, uint32_t notificationType,
                            void* notification);

}  // namespace qelmor
