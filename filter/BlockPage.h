// What a refused client receives: the redirecting block page, or one of the
// two fixed messages of the query-string checks.
#pragma once

#include <string>
#include <string_view>

#include "filter/FilterConfig.h"

namespace qelmor {

// The host that serves the advertising frame of the block page.
inline constexpr std::string_view kAdvertHost = "ads.qelmor.invalid";

// The two messages, as their code-page-936 (GBK) bytes; 32 bytes each.
extern const std::string_view kLengthMessage;     // the URL length check is on
extern const std::string_view kCharacterMessage;  // the URL character check is on

std::string BlockPageTemplate(const FilterConfig& config);

}  // namespace qelmor
