#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/filter/TestHelpers.h"

namespace qelmor::testing {
namespace {

TEST(RegistrationTest, DescriptionFlagsAndRevision) {
    InstalledFilter filter;
    FilterLibrary library(filter.libraryPath);
    ASSERT_TRUE(library.Loaded()) << library.Error();

    for (int call = 1; call <= 2; ++call) {
        HTTP_FILTER_VERSION version;
        std::memset(&version, 0xAB, sizeof version);
        version.dwServerFilterVersion = HTTP_FILTER_REVISION;
        EXPECT_EQ(library.Register(version), -1) << "call " << call;
        EXPECT_EQ(version.dwFilterVersion, 0x00040000u);
        EXPECT_EQ(version.dwFlags, 0x00081000u);
        EXPECT_EQ(std::string(version.lpszFilterDesc), "qelmor.0");
        for (size_t i = 8; i < sizeof version.lpszFilterDesc; ++i) {
            ASSERT_EQ(version.lpszFilterDesc[i], 0) << "byte " << i << ", call " << call;
        }
    }
}

// The second registration must see the file as it is then.
TEST(RegistrationTest, SecondRegistrationRereadsTheFile) {
    InstalledFilter filter;
    FilterLibrary library(filter.libraryPath);
    ASSERT_TRUE(library.Loaded()) << library.Error();
    HTTP_FILTER_VERSION version{};

    FakeRequest first;
    first.physicalPath = "/srv/www/setup.exe";
    ASSERT_TRUE(library.Register(version));
    EXPECT_EQ(library.Run(first), SF_STATUS_REQ_NEXT_NOTIFICATION);

    filter.WriteIni("[KAVRO]\nSuperExt=.exe\nSuperAction=0\n");
    FakeRequest second;
    second.physicalPath = "/srv/www/setup.exe";
    ASSERT_TRUE(library.Register(version));
    EXPECT_EQ(library.Run(second), SF_STATUS_REQ_FINISHED);
    EXPECT_EQ(second.finalPath, "KAVRO.exe");
}

std::string RunProbe(const std::string& probe, const std::vector<std::string>& libraries,
                     const std::string& path) {
    std::string command = "'" + probe + "'";
    for (const std::string& library : libraries) command += " '" + library + "'";
    command += " '" + path + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string output;
    std::array<char, 256> chunk;
    while (pipe && std::fgets(chunk.data(), int(chunk.size()), pipe.get()))
        output += chunk.data();
    return output;
}

// A renamed library finds no module named qelmor.so and reads the KAVRO.ini
// beside the host executable instead.
TEST(RegistrationTest, RenamedLibraryReadsIniBesideTheExecutable) {
    struct Case {
        const char* name;
        const char* libraryLeaf;
        bool iniBesideLibrary;
        bool iniBesideHost;
        const char* expected;
    } cases[] = {
        {"named, ini beside library", "qelmor.so", true, false, "08000000 KAVRO.exe\n"},
        {"named, ini only beside host", "qelmor.so", false, true, "08000002 /x/setup.exe\n"},
        {"renamed, ini beside host", "guard.so", false, true, "08000000 KAVRO.exe\n"},
        {"renamed, ini only beside library", "guard.so", true, false, "08000002 /x/setup.exe\n"},
    };
    for (const Case& c : cases) {
        TempFolder host, libraryFolder;
        host.CopyIn(QELMOR_PROBE_PATH, "probe");
        libraryFolder.CopyIn(QELMOR_LIBRARY_PATH, c.libraryLeaf);
        const std::string ini = "[KAVRO]\nSuperExt=.exe\nSuperAction=0\n";
        if (c.iniBesideLibrary) libraryFolder.Write("KAVRO.ini", ini);
        if (c.iniBesideHost) host.Write("KAVRO.ini", ini);
        EXPECT_EQ(RunProbe(host.File("probe"), {libraryFolder.File(c.libraryLeaf)}, "/x/setup.exe"),
                  c.expected)
            << c.name;
    }
}

// A server that gives each site its own copy of the library loads several
// files named qelmor.so into one process; each copy must read the KAVRO.ini
// beside itself, not the one beside whichever copy was loaded first.
TEST(RegistrationTest, CopiesInOneProcessReadTheirOwnIni) {
    struct Case {
        const char* name;
        std::vector<const char*> inis;  // per copy, in load order; "" for none
        const char* expected;
    } cases[] = {
        {"first refuses, second passes",
         {"[KAVRO]\nSuperExt=.exe\nSuperAction=0\n", "[KAVRO]\nSuperExt=.zip\n"},
         "08000000 KAVRO.exe\n08000002 /x/setup.exe\n"},
        {"first passes, second refuses",
         {"[KAVRO]\nSuperExt=.zip\n", "[KAVRO]\nSuperExt=.exe\nSuperAction=0\n"},
         "08000002 /x/setup.exe\n08000000 KAVRO.exe\n"},
        {"three copies, the middle one refuses",
         {"", "[KAVRO]\nSuperExt=.exe\nSuperAction=0\n", ""},
         "08000002 /x/setup.exe\n08000000 KAVRO.exe\n08000002 /x/setup.exe\n"},
    };
    for (const Case& c : cases) {
        TempFolder host;
        host.CopyIn(QELMOR_PROBE_PATH, "probe");
        std::vector<std::unique_ptr<TempFolder>> folders;
        std::vector<std::string> libraries;
        for (const char* ini : c.inis) {
            folders.push_back(std::make_unique<TempFolder>());
            folders.back()->CopyIn(QELMOR_LIBRARY_PATH, "qelmor.so");
            if (*ini != '\0') folders.back()->Write("KAVRO.ini", ini);
            libraries.push_back(folders.back()->File("qelmor.so"));
        }
        EXPECT_EQ(RunProbe(host.File("probe"), libraries, "/x/setup.exe"), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace qelmor::testing
