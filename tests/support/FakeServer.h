// A server that loads a filter library through its two exports and offers
// the filter context's callbacks as IIS does: variables from a table, a
// failed read with the needed size when the buffer is too small, client
// writes captured, AllocMem memory that lives until the request ends.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "isapi/Isapi4.h"

namespace qelmor::testing {

struct FakeRequest {
    std::map<std::string, std::string, std::less<>> variables;
    std::string physicalPath;
    uint32_t pathBufferSize = 260;
    uint32_t notificationType = SF_NOTIFY_URL_MAP;
    bool failAllocMem = false;
    // Announces the size of a value longer than 4095 bytes, then fails when
    // offered that much room.
    bool failLongRetry = false;
    bool recordReads = true;  // off where the callbacks must not allocate

    // What the filter did.
    std::string written;
    int writeCalls = 0;
    std::vector<std::string> variablesRead;
    std::string finalPath;  // the physical path after the call
    bool pathInServerBuffer = true;

    // Server-owned storage of the request.
    std::vector<std::shared_ptr<char[]>> allocations;
};

// Runs one notification of `request` through `proc`, which stands for
// HttpFilterProc, with a context and URL-map record built as IIS builds them.
using FilterProc = std::function<uint32_t(HTTP_FILTER_CONTEXT*, uint32_t, void*)>;
uint32_t RunRequest(FakeRequest& request, const FilterProc& proc);

class FilterLibrary {
  public:
    // Loads the library at `path`; check Loaded() and Error().
    explicit FilterLibrary(const std::string& path);
    ~FilterLibrary();
    FilterLibrary(const FilterLibrary&) = delete;
    FilterLibrary& operator=(const FilterLibrary&) = delete;

    bool Loaded() const { return getFilterVersion_ != nullptr && httpFilterProc_ != nullptr; }
    const std::string& Error() const { return error_; }

    int32_t Register(HTTP_FILTER_VERSION& version);
    PFN_HTTPFILTERPROC Proc() const { return httpFilterProc_; }
    uint32_t Run(FakeRequest& request);

  private:
    void* handle_ = nullptr;
    PFN_GETFILTERVERSION getFilterVersion_ = nullptr;
    PFN_HTTPFILTERPROC httpFilterProc_ = nullptr;
    std::string error_;
};

// A folder of its own under the system's temporary folder, removed with its
// contents when the object goes.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    const std::string& Path() const { return path_; }
    std::string File(const std::string& leaf) const;
    void Write(const std::string& leaf, const std::string& content) const;
    void CopyIn(const std::string& source, const std::string& leaf) const;

  private:
    std::string path_;
};

}  // namespace qelmor::testing
