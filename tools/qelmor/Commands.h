// The three subcommands. Each takes the arguments after its name, prints to
// standard output and returns the exit status; a bad argument throws
// UsageError.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "filter/AccessToken.h"
#include "tools/qelmor/Setting.h"

namespace qelmor::tool {

int RunToken(std::span<const std::string> args);
int RunExplain(std::span<const std::string> args);
int RunConfig(std::span<const std::string> args);

// The digest input the filter builds for `address` at the setting's minute.
TokenInput TokenInputAt(std::string_view address, const Setting& setting);

// Whether the configured EncryptMode digests the client's address; the
// filter's own input tells.
bool TokenUsesAddress(const Setting& setting);

}  // namespace qelmor::tool
