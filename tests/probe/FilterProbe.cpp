// Loads filter libraries the way a server does, registers each and runs one
// URL-map notification for a physical path through each. Prints the status
// and the physical path afterwards, a line per library, so a test can see
// which KAVRO.ini each copy read. Every library is loaded and registered
// before any runs, as a server loads all its filters at start.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/FakeServer.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s LIBRARY... PHYSICAL-PATH\n", argv[0]);
        return 2;
    }
    std::vector<std::unique_ptr<qelmor::testing::FilterLibrary>> libraries;
    for (int i = 1; i + 1 < argc; ++i) {
        auto library = std::make_unique<qelmor::testing::FilterLibrary>(argv[i]);
        if (!library->Loaded()) {
            std::fprintf(stderr, "%s: %s\n", argv[i], library->Error().c_str());
            return 1;
        }
        HTTP_FILTER_VERSION version{};
        if (!library->Register(version)) return 1;
        libraries.push_back(std::move(library));
    }
    for (auto& library : libraries) {
        qelmor::testing::FakeRequest request;
        request.physicalPath = argv[argc - 1];
        const uint32_t status = library->Run(request);
        std::printf("%08x %s\n", unsigned(status), request.finalPath.c_str());
    }
    return 0;
}
