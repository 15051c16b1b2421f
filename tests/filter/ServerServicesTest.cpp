#include <gtest/gtest.h>

#include "filter/ServerServices.h"
#include "tests/support/FakeServer.h"

namespace qelmor {
namespace {

using testing::FakeRequest;
using testing::RunRequest;

std::string ReadVariable(FakeRequest& request, const char* name) {
    std::string value;
    RunRequest(request, [&](HTTP_FILTER_CONTEXT* context, uint32_t, void*) {
        ServerVarBuffer buffer;
        value = std::string(GetServerVar(context, name, buffer));
        return SF_STATUS_REQ_NEXT_NOTIFICATION;
    });
    return value;
}

TEST(ServerVarTest, LengthsAroundTheFixedBuffer) {
    struct Case {
        const char* name;
        size_t length;
        size_t expectedReads;
    } cases[] = {
        {"empty", 0, 1},
        {"4095 bytes fit the buffer with the zero", 4095, 1},
        {"4096 bytes need a second read", 4096, 2},
        {"5000 bytes", 5000, 2},
        {"64 KiB", 65536, 2},
    };
    for (const Case& c : cases) {
        FakeRequest request;
        std::string value(c.length, 'v');
        if (c.length > 0) value.back() = 'z';
        request.variables["QUERY_STRING"] = value;
        EXPECT_EQ(ReadVariable(request, "QUERY_STRING"), value) << c.name;
        EXPECT_EQ(request.variablesRead.size(), c.expectedReads) << c.name;
    }
}

TEST(ServerVarTest, AbsentVariableIsEmptyAndNotRetried) {
    FakeRequest request;
    EXPECT_EQ(ReadVariable(request, "HTTP_COOKIE"), "");
    EXPECT_EQ(request.variablesRead.size(), 1u);
}

// A server that asks for more room and then keeps failing has a value the
// filter cannot see; one that fails without asking for more has none.
int32_t QELMOR_WINAPI AlwaysTooSmall(HTTP_FILTER_CONTEXT*, char*, void*, uint32_t* size) {
    *size += 1;
    return 0;
}

int32_t QELMOR_WINAPI FailsWithoutAskingForMore(HTTP_FILTER_CONTEXT*, char*, void*,
                                                uint32_t*) {
    return 0;
}

int32_t QELMOR_WINAPI ReportsOnlyTheZero(HTTP_FILTER_CONTEXT*, char*, void* buffer,
                                         uint32_t* size) {
    static_cast<char*>(buffer)[0] = '\0';
    *size = 1;
    return 1;
}

TEST(ServerVarTest, UnhelpfulServers) {
    struct Case {
        const char* name;
        decltype(HTTP_FILTER_CONTEXT::GetServerVariable) callback;
        bool unavailable;  // the read must not yield a value at all
    } cases[] = {
        {"keeps asking for more", AlwaysTooSmall, true},
        {"fails without asking for more", FailsWithoutAskingForMore, false},
        {"size 1 is the empty text", ReportsOnlyTheZero, false},
        {"no callback", nullptr, false},
    };
    for (const Case& c : cases) {
        HTTP_FILTER_CONTEXT context{};
        context.GetServerVariable = c.callback;
        ServerVarBuffer buffer;
        if (c.unavailable) {
            EXPECT_THROW(GetServerVar(&context, "QUERY_STRING", buffer), ServerVarUnavailable)
                << c.name;
        } else {
            EXPECT_EQ(GetServerVar(&context, "HTTP_HOST", buffer), "") << c.name;
        }
    }
}

TEST(ReplacePathTest, FitsOrMovesToServerMemory) {
    struct Case {
        const char* name;
        uint32_t bufferSize;
        bool failAllocMem;
        bool replaced;
        bool inServerBuffer;
    } cases[] = {
        {"fits with its zero", 10, false, true, true},
        {"one byte short", 9, false, true, false},
        {"no room and no memory", 4, true, false, true},
    };
    for (const Case& c : cases) {
        FakeRequest request;
        request.physicalPath = "/a";
        request.pathBufferSize = c.bufferSize;
        request.failAllocMem = c.failAllocMem;
        bool replaced = false;
        RunRequest(request, [&](HTTP_FILTER_CONTEXT* context, uint32_t, void* map) {
            replaced =
                ReplacePhysicalPath(context, static_cast<HTTP_FILTER_URL_MAP*>(map), "KAVRO.wmv");
            return SF_STATUS_REQ_FINISHED;
        });
        EXPECT_EQ(replaced, c.replaced) << c.name;
        EXPECT_EQ(request.finalPath, c.replaced ? "KAVRO.wmv" : "/a") << c.name;
        EXPECT_EQ(request.pathInServerBuffer, c.inServerBuffer) << c.name;
    }
}

TEST(WriteClientTest, WritesBytesAsTheyAre) {
    FakeRequest request;
    const std::string bytes("a\0b\xff", 4);
    RunRequest(request, [&](HTTP_FILTER_CONTEXT* context, uint32_t, void*) {
        WriteToClient(context, bytes);
        return SF_STATUS_REQ_FINISHED;
    });
    EXPECT_EQ(request.written, bytes);
    EXPECT_EQ(request.writeCalls, 1);
}

}  // namespace
}  // namespace qelmor
