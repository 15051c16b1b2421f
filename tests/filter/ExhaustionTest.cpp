// What the filter does when memory runs out: registration fails rather than
// guard with defaults, and a decision that cannot be completed refuses the
// request without writing anything. Allocations fail on demand through a
// replaced global operator new, which the loaded qelmor.so uses too.
#include <gtest/gtest.h>

// The replacement operators pair malloc with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>

#include "tests/filter/TestHelpers.h"

namespace {
std::atomic<bool> failAllocations{false};
// Allocations larger than this fail, as they would on a host whose memory
// is smaller than the request.
std::atomic<std::size_t> largestAllocation{SIZE_MAX};
}  // namespace

void* operator new(std::size_t size) {
    if (failAllocations.load(std::memory_order_relaxed)) throw std::bad_alloc();
    if (size > largestAllocation.load(std::memory_order_relaxed)) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (failAllocations.load(std::memory_order_relaxed)) return nullptr;
    if (size > largestAllocation.load(std::memory_order_relaxed)) return nullptr;
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace qelmor::testing {
namespace {

struct FailingAllocations {
    FailingAllocations() { failAllocations = true; }
    ~FailingAllocations() { failAllocations = false; }
};

TEST(ExhaustionTest, DecisionsWithoutMemory) {
    const std::string ini =
        "[KAVRO]\nOpenSecurity=1\nUrlLength=100\nSuperExt=.exe\nMediaExt=.wmv\n"
        "PassMode=0\nPlayOnline=0\n";
    struct Case {
        const char* name;
        const char* path;
        size_t queryLength;
        uint32_t normalStatus;
        uint32_t exhaustedStatus;
    } cases[] = {
        // The page cannot be built: refused, nothing half-written.
        {"block page", "/srv/x.exe", 0, SF_STATUS_REQ_FINISHED, SF_STATUS_REQ_FINISHED},
        // A query too long for the fixed buffer cannot be read: it must not
        // count as empty and pass the length check.
        {"long query", "/srv/notes.txt", 6000, SF_STATUS_REQ_FINISHED, SF_STATUS_REQ_FINISHED},
        // Decisions that need no heap are unaffected.
        {"plain pass", "/srv/notes.txt", 10, SF_STATUS_REQ_NEXT_NOTIFICATION,
         SF_STATUS_REQ_NEXT_NOTIFICATION},
    };
    InstalledFilter filter;
    filter.WriteIni(ini);
    FilterLibrary library(filter.libraryPath);
    ASSERT_TRUE(library.Loaded()) << library.Error();
    HTTP_FILTER_VERSION version{};
    ASSERT_TRUE(library.Register(version));

    for (const Case& c : cases) {
        for (bool exhausted : {false, true}) {
            FakeRequest request;
            request.recordReads = false;
            request.variables["HTTP_HOST"] = "a.test";
            request.variables["QUERY_STRING"] = std::string(c.queryLength, 'q');
            request.physicalPath = c.path;
            request.written.reserve(8192);  // WriteClient must not allocate either
            const PFN_HTTPFILTERPROC proc = library.Proc();
            const uint32_t status =
                RunRequest(request, [&](HTTP_FILTER_CONTEXT* context, uint32_t type, void* map) {
                    std::optional<FailingAllocations> failing;
                    if (exhausted) failing.emplace();
                    return proc(context, type, map);
                });
            const char* mode = exhausted ? "exhausted" : "normal";
            EXPECT_EQ(status, exhausted ? c.exhaustedStatus : c.normalStatus)
                << c.name << ", " << mode;
            if (exhausted && status == SF_STATUS_REQ_FINISHED) {
                EXPECT_EQ(request.written, "") << c.name;
            }
        }
    }
}

// Defaults guard nothing: a registration that cannot hold its settings
// must fail, so that the server does not run with it.
TEST(ExhaustionTest, RegistrationFailsWithoutMemory) {
    InstalledFilter filter;
    filter.WriteIni("[KAVRO]\nSuperExt=.exe\n");
    FilterLibrary library(filter.libraryPath);
    ASSERT_TRUE(library.Loaded()) << library.Error();
    HTTP_FILTER_VERSION version{};
    int32_t registered;
    {
        FailingAllocations failing;
        registered = library.Register(version);
    }
    EXPECT_EQ(registered, 0);
}

struct AllocationCap {
    explicit AllocationCap(std::size_t largest) { largestAllocation = largest; }
    ~AllocationCap() { largestAllocation = SIZE_MAX; }
};

// A KAVRO.ini larger than memory (here a sparse file of 100 GB, which takes
// no disk) cannot be read. The registration fails, and the settings of the
// last good one stay in force.
TEST(ExhaustionTest, ConfigurationLargerThanMemory) {
    InstalledFilter filter;
    filter.WriteIni("[KAVRO]\nSuperExt=.exe\n");
    FilterLibrary library(filter.libraryPath);
    ASSERT_TRUE(library.Loaded()) << library.Error();
    HTTP_FILTER_VERSION version{};
    ASSERT_NE(library.Register(version), 0);

    const std::string ini = filter.folder.File("KAVRO.ini");
    ASSERT_EQ(truncate(ini.c_str(), off_t(100) << 30), 0);
    int32_t registered;
    {
        AllocationCap cap(std::size_t(1) << 30);
        registered = library.Register(version);
    }
    EXPECT_EQ(registered, 0);

    FakeRequest request;
    request.variables["HTTP_HOST"] = "a.test";
    request.physicalPath = "/srv/setup.exe";
    EXPECT_EQ(library.Run(request), SF_STATUS_REQ_FINISHED) << "the old settings were lost";
}

// A server that announces a long value and then does not hand it over:
// the value is not there to judge, which must not read as an empty value
// (an empty query string passes the length check).
TEST(ExhaustionTest, LongVariableNotHandedOver) {
    InstalledFilter filter;
    filter.WriteIni("[KAVRO]\nOpenSecurity=1\nUrlLength=100\n");
    FilterLibrary library(filter.libraryPath);
    ASSERT_TRUE(library.Loaded()) << library.Error();
    HTTP_FILTER_VERSION version{};
    ASSERT_NE(library.Register(version), 0);
    struct Case {
        const char* name;
        size_t queryLength;
        bool failLongRetry;
        uint32_t status;
        const char* written;
    } cases[] = {
        {"handed over: the length message", 6000, false, SF_STATUS_REQ_FINISHED, "length"},
        {"not handed over: refused, nothing written", 6000, true, SF_STATUS_REQ_FINISHED, ""},
        {"short values need no second read", 50, true, SF_STATUS_REQ_NEXT_NOTIFICATION, ""},
    };
    for (const Case& c : cases) {
        FakeRequest request;
        request.variables["HTTP_HOST"] = "a.test";
        request.variables["QUERY_STRING"] = std::string(c.queryLength, 'q');
        request.physicalPath = "/srv/notes.txt";
        request.failLongRetry = c.failLongRetry;
        EXPECT_EQ(library.Run(request), c.status) << c.name;
        if (std::string(c.written).empty()) {
            EXPECT_EQ(request.writeCalls, 0) << c.name;
        } else {
            EXPECT_EQ(request.written.size(), 32u) << c.name;
        }
    }
}

}  // namespace
}  // namespace qelmor::testing
