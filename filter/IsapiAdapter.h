// The filter's one meeting point with the server: it turns a filter context
// and a URL-map record into the facts of a request, and a verdict into
// writes, a replaced path and a status. Nothing else of the filter touches
// the context.
#pragma once

#include <cstdint>
#include <string_view>

#include "filter/AccessToken.h"
#include "filter/FilterConfig.h"
#include "filter/UrlMapPolicy.h"
#include "isapi/Isapi4.h"
#include "text/DateRules.h"

namespace qelmor {

// Gathers the facts, decides with `clock` as the time of the request, and
// carries the verdict out. Throws std::bad_alloc or ServerVarUnavailable
// when a fact cannot be had or the answer cannot be built; the entry point
// then ends the request.
Decision UrlMapPolicy(HTTP_FILTER_CONTEXT* context, uint32_t notificationType, void* notification,
                      const FilterConfig& config, const LocaleSettings& locale,
                      const ClockReading& clock);

// The refusal of a class: the block page when `showBlockPage`, otherwise the
// physical path "KAVRO" plus the extension as the path gave it.
uint32_t RefuseRequest(HTTP_FILTER_CONTEXT* context, HTTP_FILTER_URL_MAP* urlMap,
                       bool showBlockPage, std::string_view extension, const FilterConfig& config);

// Sends `message`, or the block page when the message is empty after
// trimming.
void SendBlockPage(HTTP_FILTER_CONTEXT* context, std::string_view message,
                   const FilterConfig& config);

// The host's local clock now, read as a timed token reads it.
TokenClock ReadTokenClock();

}  // namespace qelmor
