// The module's load and unload steps and the bodies of the two entry points,
// which guard the boundary: no exception leaves them.
#pragma once

#include <cstdint>

#include "filter/FilterConfig.h"
#include "isapi/Isapi4.h"

namespace qelmor {

inline constexpr char kFilterDescription[] = "qelmor.0";

// Reads the host's locale settings and obtains the configuration storage.
// False when the storage cannot be had: the load fails.
bool LoadModule();
void UnloadModule();

// The process-wide record; null before LoadModule or after UnloadModule.
const FilterConfig* CurrentFilterConfig();

int32_t RegisterFilter(HTTP_FILTER_VERSION* version);
uint32_t HandleNotification(HTTP_FILTER_CONTEXT* context, uint32_t notificationType,
                            void* notification);

}  // namespace qelmor
