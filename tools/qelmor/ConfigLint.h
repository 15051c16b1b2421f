// The warnings of `qelmor config`: common mistakes in a KAVRO.ini that the
// filter accepts silently.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "filter/FilterConfig.h"
#include "tools/qelmor/Setting.h"

namespace qelmor::tool {

// How the file gave one key.
struct KeyReading {
    std::optional<std::string_view> raw;  // the value as written; nullopt when absent
    bool fromFile = false;                // false when the default applies
};

KeyReading ReadKey(std::string_view content, const ConfigKeyInfo& key);

// `content` is the file's text (empty when it could not be read); `setting`
// holds what the filter's loader made of it; `serverName` is the host name
// the server is bound to, when the operator says so.
std::vector<std::string> LintConfig(std::string_view content, const Setting& setting,
                                    std::optional<std::string_view> serverName = std::nullopt);

}  // namespace qelmor::tool
