// A KAVRO.ini the filter cannot use as a file of settings: unreadable, a
// directory, a FIFO or a device, huge, garbage. Registration must still
// succeed without waiting on it, with the defaults or with what could be
// read, and the host must survive it. Each
// case runs in a child process that stands for the host, so a crash shows
// as a failed case rather than ending the test program.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "tests/filter/TestHelpers.h"

namespace qelmor::testing {
namespace {

// What the child reports through its exit code.
enum Result : int {
    kDefaults = 10,     // the request passed: the guarding key was not read
    kKeyRead = 11,      // the request was diverted: SuperExt=.exe was read
    kLoadFailed = 20,
    kNotRegistered = 21,
    kUnexpectedDecision = 22,
    kCannotDropPrivileges = 23,
};

const char* ResultName(int result) {
    switch (result) {
        case kDefaults:
            return "registered with the defaults";
        case kKeyRead:
            return "registered with the key read";
        case kLoadFailed:
            return "the library did not load";
        case kNotRegistered:
            return "GetFilterVersion returned FALSE";
        case kUnexpectedDecision:
            return "a decision neither passed nor diverted";
        case kCannotDropPrivileges:
            return "could not drop root privileges";
        default:
            return "unknown";
    }
}

// The key the cases guard with: read, it diverts setup.exe to KAVRO.exe.
constexpr char kGuard[] = "[KAVRO]\nSuperExt=.exe\nSuperAction=0\n";

int RegisterAndDecide(const std::string& libraryPath) {
    FilterLibrary library(libraryPath);
    if (!library.Loaded()) return kLoadFailed;
    HTTP_FILTER_VERSION version{};
    version.dwServerFilterVersion = HTTP_FILTER_REVISION;
    if (!library.Register(version)) return kNotRegistered;
    FakeRequest request;
    request.variables["HTTP_HOST"] = "www.example.test";
    request.physicalPath = "/srv/www/setup.exe";
    const uint32_t status = library.Run(request);
    if (status == SF_STATUS_REQ_NEXT_NOTIFICATION && request.written.empty() &&
        request.finalPath == request.physicalPath) {
        return kDefaults;
    }
    if (status == SF_STATUS_REQ_FINISHED && request.finalPath == "KAVRO.exe") return kKeyRead;
    return kUnexpectedDecision;
}

// Root reads any file whatever its mode; the host then runs as nobody, as a
// web server's worker does.
bool DropRoot() {
    if (geteuid() != 0) return true;
    constexpr uid_t kNobody = 65534;
    return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
}

struct ChildOutcome {
    bool exited = false;
    int code = 0;  // the exit code, or the signal that ended the child
};

ChildOutcome RunInHost(const std::string& libraryPath, bool unprivileged) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        // A host that hangs on its configuration shows as SIGALRM.
        alarm(60);
        if (unprivileged && !DropRoot()) _exit(kCannotDropPrivileges);
        _exit(RegisterAndDecide(libraryPath));
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return {};
    if (WIFEXITED(status)) return {true, WEXITSTATUS(status)};
    return {false, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

void WriteRepeated(const std::string& path, const std::string& head, const std::string& chunk,
                   size_t totalBytes, const std::string& tail) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << head;
    for (size_t written = 0; written < totalBytes; written += chunk.size())
        file << chunk;
    file << tail;
}

std::string Garbage(size_t bytes, uint32_t seed) {
    std::mt19937 random(seed);
    std::string garbage(bytes, '\0');
    for (char& c : garbage)
        c = char(random() & 0xFF);
    return garbage;
}

constexpr size_t kMegabyte = 1024 * 1024;

struct FaultCase {
    const char* name;
    // Puts the fault in place of, or into, `ini`, the file beside the library.
    std::function<void(const std::string& ini)> prepare;
    int expected;
    bool unprivileged = false;
};

TEST(IniFaultTest, RegistersAndDecidesWhateverTheFile) {
    const std::string comment = "; " + std::string(97, '-') + "\n";
    const FaultCase cases[] = {
        {"readable file, for reference",
         [](const std::string& ini) { std::ofstream(ini) << kGuard; }, kKeyRead},
        {"unreadable file",
         [](const std::string& ini) {
             std::ofstream(ini) << kGuard;
             ASSERT_EQ(chmod(ini.c_str(), 0), 0);
         },
         kDefaults, true},
        {"directory in its place",
         [](const std::string& ini) { std::filesystem::create_directory(ini); }, kDefaults},
        {"dangling symbolic link",
         [](const std::string& ini) { std::filesystem::create_symlink(ini + ".gone", ini); },
         kDefaults},
        {"empty file", [](const std::string& ini) { std::ofstream{ini}; }, kDefaults},
        // Reading these would wait for a writer, or never end.
        {"FIFO in its place",
         [](const std::string& ini) { ASSERT_EQ(mkfifo(ini.c_str(), 0644), 0); }, kDefaults},
        {"link to a FIFO",
         [](const std::string& ini) {
             ASSERT_EQ(mkfifo((ini + ".fifo").c_str(), 0644), 0);
             std::filesystem::create_symlink(ini + ".fifo", ini);
         },
         kDefaults},
        {"link to /dev/zero",
         [](const std::string& ini) { std::filesystem::create_symlink("/dev/zero", ini); },
         kDefaults},
        {"link to a readable file",
         [](const std::string& ini) {
             std::ofstream(ini + ".real") << kGuard;
             std::filesystem::create_symlink(ini + ".real", ini);
         },
         kKeyRead},
        {"100 MB file, key at the start",
         [&](const std::string& ini) { WriteRepeated(ini, kGuard, comment, 100 * kMegabyte, ""); },
         kKeyRead},
        {"100 MB file, key at the end",
         [&](const std::string& ini) {
             WriteRepeated(ini, "[KAVRO]\n", comment, 100 * kMegabyte, kGuard + 8);
         },
         kKeyRead},
        {"one 10 MB line without a line end",
         [](const std::string& ini) {
             WriteRepeated(ini, std::string(kGuard) + "Title=", std::string(kMegabyte, 'T'),
                           10 * kMegabyte, "");
         },
         kKeyRead},
        {"binary garbage",
         [](const std::string& ini) { std::ofstream(ini, std::ios::binary) << Garbage(kMegabyte, 7); },
         kDefaults},
        {"binary garbage, then the section",
         [](const std::string& ini) {
             std::ofstream(ini, std::ios::binary) << Garbage(kMegabyte, 11) << "\n" << kGuard;
         },
         kKeyRead},
    };

    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        InstalledFilter filter;
        // A host without root privileges must still reach the library.
        std::filesystem::permissions(filter.folder.Path(), std::filesystem::perms(0755));
        const std::string ini = filter.folder.File("KAVRO.ini");
        c.prepare(ini);
        if (::testing::Test::HasFatalFailure()) continue;

        const auto start = std::chrono::steady_clock::now();
        const ChildOutcome outcome = RunInHost(filter.libraryPath, c.unprivileged);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ASSERT_TRUE(outcome.exited) << c.name << ": the host died of signal " << outcome.code;
        EXPECT_EQ(outcome.code, c.expected)
            << c.name << ": " << ResultName(outcome.code) << ", expected "
            << ResultName(c.expected);
        std::printf("  %-36s %s in %.2f s%s\n", c.name, ResultName(outcome.code), seconds,
                    c.unprivileged && geteuid() == 0 ? " (host run as nobody)" : "");
    }
}

}  // namespace
}  // namespace qelmor::testing
