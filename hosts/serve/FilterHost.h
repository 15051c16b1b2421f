// Loads an ISAPI filter library the way IIS loads a filter DLL and runs its
// URL-map notification for one request at a time, on any number of threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "hosts/serve/RequestFacts.h"
#include "isapi/Isapi4.h"

namespace qelmor::serve {

struct FilterRegistration {
    uint32_t filterVersion = 0;
    uint32_t flags = 0;
    std::string description;
};

// What a notification left behind, copied out before its storage goes.
struct FilterOutcome {
    uint32_t status = SF_STATUS_REQ_NEXT_NOTIFICATION;
    bool called = false;          // false when the filter did not register for URL maps
    std::string written;          // everything passed to WriteClient, in order
    std::string finalPath;        // the physical path after the call
    bool pathReplaced = false;    // the filter changed the physical path
    std::string responseHeaders;  // from AddResponseHeaders, "Name: value\r\n" lines
};

// The value of the X-Qelmor-Reason line the filter added, or nothing.
std::string FilterReason(const FilterOutcome& outcome);

class FilterHost {
  public:
    // dlopen, look up both entry points, call GetFilterVersion once. On
    // failure returns nothing and says why in `error`.
    static std::unique_ptr<FilterHost> Load(const std::string& path, std::string& error);

    ~FilterHost();
    FilterHost(const FilterHost&) = delete;
    FilterHost& operator=(const FilterHost&) = delete;

    const std::string& Path() const { return path_; }
    // The last registration that succeeded. Read it on the thread that
    // registers.
    const FilterRegistration& Registration() const { return registration_; }

    // GetFilterVersion again, as IIS does when a site restarts: the filter
    // reads its settings anew, and requests already in the filter finish with
    // the ones they started with. When the filter refuses, it keeps its
    // former settings, and so does this host; `error` says so.
    bool Register(std::string& error);

    // One SF_NOTIFY_URL_MAP notification for `request`, whose mapped file is
    // `physicalPath`. Safe to call from many threads at once.
    FilterOutcome RunUrlMap(const RequestFacts& request, const std::string& physicalPath) const;

  private:
    FilterHost() = default;

    std::string path_;
    void* handle_ = nullptr;
    PFN_GETFILTERVERSION getFilterVersion_ = nullptr;
    PFN_HTTPFILTERPROC httpFilterProc_ = nullptr;
    FilterRegistration registration_;
    // Read by every request while a registration may change it.
    std::atomic<bool> urlMapRegistered_{false};
};

// "URL_MAP|ORDER_HIGH" for the flags a filter registered.
std::string DescribeFilterFlags(uint32_t flags);

// "NEXT", "FINISHED", or the number for statuses we do not name.
std::string DescribeFilterStatus(uint32_t status);

}  // namespace qelmor::serve
