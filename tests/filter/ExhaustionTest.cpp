// What the filter does when memory runs out: registration still registers,
// and a decision that cannot be completed refuses the request without
// writing anything. Allocations fail on demand through a replaced global
// operator new, which the loaded qelmor.so uses too.
#include <gtest/gtest.h>

// The replacement operators pair malloc with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <atomic>
#include <cstdlib>
#include <new>
#include <optional>

#include "tests/filter/TestHelpers.h"

namespace {
std::atomic<bool> failAllocations{false};
}

void* operator new(std::size_t size) {
    if (failAllocations.load(std::memory_order_relaxed)) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (failAllocations.load(std::memory_order_relaxed)) return nullptr;
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

TEST(ExhaustionTest, RegistrationStillRegisters) {
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
    EXPECT_NE(registered, 0);
    EXPECT_EQ(version.dwFlags, 0x00081000u);
    EXPECT_STREQ(version.lpszFilterDesc, "qelmor.0");
}

}  // namespace
}  // namespace qelmor::testing
