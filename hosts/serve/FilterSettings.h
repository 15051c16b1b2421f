// The KAVRO.ini that the hosted filter reads, as the server sees it before
// it serves anything: where the filter looks for it, whether it is there,
// and the one setting the server itself depends on.
#pragma once

#include <string>
#include <string_view>

namespace qelmor::serve {

// Where the filter loaded from `library` (a resolved path) reads KAVRO.ini,
// when the server runs as `executable`.
std::string FilterConfigPath(std::string_view library, std::string_view executable);

enum class ConfigFileState { Present, Missing, NotARegularFile, Unreadable };

struct ConfigFileCheck {
    ConfigFileState state = ConfigFileState::Missing;
    std::string reason;  // why it cannot be used; empty when present
};

// Looks without opening anything, so that a FIFO in its place cannot hold
// the server up.
ConfigFileCheck CheckConfigFile(const std::string& path);

// DomainName as the filter reads it from the file at `path`: empty when the
// key is unset, or when the file cannot be read.
std::string ConfiguredDomainName(const std::string& path);

}  // namespace qelmor::serve
