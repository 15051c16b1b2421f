// A minimal host for timing the filter: the filter library loaded from a
// folder of its own beside a KAVRO.ini, and a filter context whose callbacks
// work on fixed storage. Nothing here allocates while a request runs, so an
// allocation seen during HttpFilterProc is the filter's.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "isapi/Isapi4.h"

namespace qelmor::bench {

class LoadedFilter {
  public:
    // Copies the library at `libraryPath` into a new temporary folder as
    // qelmor.so, writes `ini` beside it as KAVRO.ini, loads and registers it.
    LoadedFilter(const std::string& libraryPath, const std::string& ini);
    ~LoadedFilter();
    LoadedFilter(const LoadedFilter&) = delete;
    LoadedFilter& operator=(const LoadedFilter&) = delete;

    // Empty when the library loaded and registered.
    const std::string& Error() const { return error_; }
    PFN_HTTPFILTERPROC Proc() const { return proc_; }

  private:
    std::string folder_;
    void* handle_ = nullptr;
    PFN_HTTPFILTERPROC proc_ = nullptr;
    std::string error_;
};

struct BenchVariable {
    const char* name = nullptr;
    std::string_view value;
};

struct BenchRequest {
    static constexpr size_t kMaxVariables = 8;
    std::array<BenchVariable, kMaxVariables> variables{};
    size_t variableCount = 0;
    std::string_view physicalPath;
    uint32_t pathBufferSize = 260;

    // What the filter did in the last run.
    size_t bytesWritten = 0;
    const char* finalPath = nullptr;

    // The server's storage: the path buffer and the AllocMem arena.
    std::array<char, 1024> pathBuffer{};
    alignas(16) std::array<char, 4096> arena{};
    size_t arenaUsed = 0;

    void Set(const char* name, std::string_view value);
    // Whether the last run changed the physical path.
    bool PathReplaced() const;
};

// One URL-map notification of `request` through `proc`.
uint32_t RunDecision(PFN_HTTPFILTERPROC proc, BenchRequest& request);

}  // namespace qelmor::bench
