// A server that loads a filter library through its two exports and offers
// the filter context's callbacks as IIS does: variables from a table, a
// failed read with the needed size when the buffer is too small, client
// writes captured, AllocMem memory that lives until the request ends. The
// tests, the benchmark and the policy fuzz target all play the server with
// it; the switches below give each what it needs: servers that misbehave,
// and runs whose callbacks never touch the heap.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "isapi/Isapi4.h"

namespace qelmor::testing {

struct FakeRequest {
    std::map<std::string, std::string, std::less<>> variables;
    std::string physicalPath;
    uint32_t pathBufferSize = 260;
    uint32_t notificationType = SF_NOTIFY_URL_MAP;
    bool nullNotification = false;  // the filter gets no URL-map record
    bool failAllocMem = false;
    // Announces the size of a value longer than 4095 bytes, then fails when
    // offered that much room.
    bool failLongRetry = false;
    // A successful read reports a size of 0 instead of the bytes copied.
    bool zeroSizeOnSuccess = false;
    // The whole path up to its first zero byte goes into the server's
    // buffer even when longer than the announced size, as a careless server
    // might; otherwise it is cut to fit.
    bool pathBeyondBuffer = false;
    // Off where the callbacks must not allocate.
    bool recordReads = true;
    bool recordWrites = true;  // off: only counted, in bytesWritten
    // Storage of the caller's for runs that must not touch the heap: the
    // path buffer instead of a new one of exactly the announced size, and
    // where AllocMem carves from, started over at each run.
    std::span<char> pathStorage;
    std::span<char> arena;

    // What the filter did.
    std::string written;
    std::string addedHeaders;  // every AddResponseHeaders text, in order
    size_t bytesWritten = 0;
    int writeCalls = 0;
    std::vector<std::string> variablesRead;
    bool withheldLongValue = false;  // failLongRetry struck
    std::string finalPath;           // the physical path after the call
    bool pathInServerBuffer = true;
    // Where pszPhysicalPath points after the call: to compare with an
    // allocation, not to read, as the server's own buffer is gone by then.
    const char* finalPathAddress = nullptr;
    uint32_t finalPathBufferSize = 0;  // cbPathBuff after the call

    // Server-owned storage of the request: AllocMem blocks, each exactly
    // the size asked for, and the arena's use.
    std::vector<std::shared_ptr<char[]>> allocations;
    std::vector<uint32_t> allocationSizes;
    size_t arenaUsed = 0;
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
