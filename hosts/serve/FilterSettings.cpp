#include "hosts/serve/FilterSettings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "filter/FilterConfig.h"

namespace qelmor::serve {
namespace {

std::string_view FolderOf(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

}  // namespace

// This mirrors the filter's own lookup (ConfigFileName in
// filter/FilterConfig.cpp): it looks for the loaded module by the name
// qelmor.so and reads KAVRO.ini from that module's folder; when the library
// goes by another name it finds no such module and falls back to the folder
// of the host's executable. FilterHost loads the resolved path, which is the
// name the module is then known by.
std::string FilterConfigPath(std::string_view library, std::string_view executable) {
    const size_t slash = library.rfind('/');
    const std::string_view leaf =
        slash == std::string_view::npos ? library : library.substr(slash + 1);
    const std::string_view folder =
        leaf == kFilterModuleName ? FolderOf(library) : FolderOf(executable);
    return std::string(folder) + kConfigFileLeaf;
}

ConfigFileCheck CheckConfigFile(const std::string& path) {
    ConfigFileCheck check;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        const int error = errno;
        check.state = error == ENOENT || error == ENOTDIR ? ConfigFileState::Missing
                                                          : ConfigFileState::Unreadable;
        check.reason = std::strerror(error);
        return check;
    }
    if (!S_ISREG(info.st_mode)) {
        check.state = ConfigFileState::NotARegularFile;
        check.reason = "not a regular file";
        return check;
    }
    if (access(path.c_str(), R_OK) != 0) {
        check.state = ConfigFileState::Unreadable;
        check.reason = std::strerror(errno);
        return check;
    }
    check.state = ConfigFileState::Present;
    return check;
}

std::string ConfiguredDomainName(const std::string& path) {
    try {
        FilterConfig config;
        LoadFilterConfig(config, path);
        return config.DomainName;
    } catch (const std::exception&) {
        // The filter cannot read it either, and runs on its defaults.
        return {};
    }
}

}  // namespace qelmor::serve
