// Loads a filter library the way a server does, registers it and runs one
// URL-map notification for a physical path. Prints the status and the
// physical path afterwards, so a test can see which KAVRO.ini was read.
#include <cstdio>
#include <string>

#include "tests/support/FakeServer.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s LIBRARY PHYSICAL-PATH\n", argv[0]);
        return 2;
    }
    qelmor::testing::FilterLibrary library(argv[1]);
    if (!library.Loaded()) {
        std::fprintf(stderr, "%s: %s\n", argv[1], library.Error().c_str());
        return 1;
    }
    HTTP_FILTER_VERSION version{};
    if (!library.Register(version)) return 1;
    qelmor::testing::FakeRequest request;
    request.physicalPath = argv[2];
    const uint32_t status = library.Run(request);
    std::printf("%08x %s\n", unsigned(status), request.finalPath.c_str());
    return 0;
}
