// qelmor.dll as IIS runs it: loaded with LoadLibraryA from a folder of its
// own, registered, and asked to decide the shared table of policy cases,
// then the cases whose outcome depends on the host's locale.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "digest/Md5.h"
#include "filter/FilterConfig.h"
#include "platform/Platform.h"
#include "tests/support/FakeServer.h"
#include "tests/support/PolicyCases.h"
#include "tests/windows/Checks.h"

namespace qelmor::wintest {
namespace {

using testing::CaseConfig;
using testing::CaseHost;
using testing::FakeRequest;
using testing::FilterLibrary;
using testing::Outcome;
using testing::PolicyCase;
using testing::TempFolder;
using testing::TokenMaker;

// A copy of the library under `leaf` in a fresh folder. The folder outlives
// the loaded library: Windows cannot delete a DLL that is still loaded.
struct LoadedFilter {
    TempFolder folder;
    std::string path;
    std::unique_ptr<FilterLibrary> library;

    LoadedFilter(const std::string& source, const std::string& leaf) : path(folder.File(leaf)) {
        folder.CopyIn(source, leaf);
        library = std::make_unique<FilterLibrary>(path);
    }
};

SYSTEMTIME LocalTimeIn(int minuteOffset) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    FILETIME asFile{};
    SystemTimeToFileTime(&now, &asFile);
    ULARGE_INTEGER ticks{};
    ticks.LowPart = asFile.dwLowDateTime;
    ticks.HighPart = asFile.dwHighDateTime;
    ticks.QuadPart += int64_t(minuteOffset) * 60 * 10000000;
    asFile.dwLowDateTime = ticks.LowPart;
    asFile.dwHighDateTime = ticks.HighPart;
    SYSTEMTIME shifted{};
    FileTimeToSystemTime(&asFile, &shifted);
    return shifted;
}

int MinuteOfDay() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return now.wHour * 60 + now.wMinute;
}

std::string UpperHexDigest(const std::string& input) {
    std::string hex = DigestToHex(DigestText(input));
    for (char& c : hex) {
        if (c >= 'a' && c <= 'f') c = char(c - 32);
    }
    return hex;
}

// The digest input as the site's pages build it: the date text, then the
// hour and the minute without leading zeros.
std::string TokenFor(int mode, const std::string& key, const std::string& address,
                     const std::string& date, const SYSTEMTIME& at) {
    const std::string clock = date + std::to_string(at.wHour) + std::to_string(at.wMinute);
    switch (mode) {
        case 0:
            return UpperHexDigest(key + address);
        case 1:
            return UpperHexDigest(key + clock);
        case 2:
            return UpperHexDigest(key + address + clock);
        case 3:
            return UpperHexDigest(key + clock + address);
        default:
            return UpperHexDigest("no token is valid in this mode");
    }
}

// Dates as Windows renders the host's short date pattern.
std::string HostPatternToken(int mode, const std::string& key, const std::string& address,
                             int minuteOffset) {
    const SYSTEMTIME at = LocalTimeIn(minuteOffset);
    return TokenFor(mode, key, address, HostShortDate(at.wYear, at.wMonth, at.wDay), at);
}

// Dates in the pattern of a host without date settings (m/d/yy).
std::string DefaultPatternToken(int mode, const std::string& key, const std::string& address,
                                int minuteOffset) {
    const SYSTEMTIME at = LocalTimeIn(minuteOffset);
    char date[32];
    std::snprintf(date, sizeof date, "%u/%u/%02u", at.wMonth, at.wDay, at.wYear % 100u);
    return TokenFor(mode, key, address, date, at);
}

CaseHost LibraryHost(LoadedFilter& filter, TokenMaker token) {
    CaseHost host;
    host.configure = [&filter](const std::string& ini) {
        filter.folder.Write("KAVRO.ini", ini);
        HTTP_FILTER_VERSION version{};
        return filter.library->Register(version) != 0;
    };
    host.run = [&filter](FakeRequest& request, std::optional<PolicyStep>&) {
        return filter.library->Run(request);
    };
    host.token = std::move(token);
    host.minuteOfDay = MinuteOfDay;
    host.windowsPaths = true;
    return host;
}

std::string LongLowered(const std::string& path) {
    char full[MAX_PATH];
    const DWORD length = GetLongPathNameA(path.c_str(), full, MAX_PATH);
    std::string text = length > 0 && length < MAX_PATH ? std::string(full, length) : path;
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    }
    return text;
}

void CheckRegistration(Report& report, LoadedFilter& filter) {
    HTTP_FILTER_VERSION version{};
    std::memset(&version, 0x5A, sizeof version);
    const int32_t registered = filter.library->Register(version);
    std::string failure;
    if (registered == 0) failure += " returned FALSE;";
    if (version.dwFilterVersion != 0x00040000) failure += " version not 4.0;";
    if (version.dwFlags != 0x00081000) failure += " flags " + std::to_string(version.dwFlags) + ";";
    const std::string description(version.lpszFilterDesc, sizeof version.lpszFilterDesc);
    if (description != std::string("qelmor.0") + std::string(257 - 8, '\0')) {
        failure += " description " + Printable(description.substr(0, 16)) + ";";
    }
    report.Check("registration_fields", failure);

    const std::string found = LongLowered(platform::ModuleFileName("qelmor.dll"));
    const std::string expected = LongLowered(filter.path);
    report.Check(
        "module_lookup_finds_the_loaded_library",
        found == expected ? "" : "got " + Printable(found) + ", expected " + Printable(expected));
}

void CheckSharedTable(Report& report, LoadedFilter& filter) {
    const CaseHost host = LibraryHost(filter, HostPatternToken);
    for (const PolicyCase& c : testing::AllPolicyCases()) {
        report.Check(std::string("policy_") + c.name, testing::RunPolicyCase(c, host));
    }
}

// Double-byte characters whose second byte is 0x5C ("\"): under a code page
// with lead bytes they stay whole, under a single-byte one the 0x5C splits
// the path.
const CaseConfig kTrailByteExtension{"[KAVRO]\nSuperExt=.\x95\x5c\nSuperAction=0\n", 0, "ruftal"};
const CaseConfig kPublicTail{"[KAVRO]\nPubFile=movie.exe\nSuperExt=.exe\nSuperAction=0\n", 0,
                             "ruftal"};
const CaseConfig kDatedTokens{"[KAVRO]\nPubKey=dated\nEncryptMode=1\nAdvancedExt=.zip\n", 1,
                              "dated"};

struct LocaleCase {
    PolicyCase onDoubleByteHost;
    PolicyCase onSingleByteHost;
};

const LocaleCase kLocaleCases[] = {
    {{.name = "dbcs_extension_ending_in_trail_byte",
      .config = &kTrailByteExtension,
      .path = "/srv/www/movie.\x95\x5c",
      .outcome = Outcome::Diverted,
      .step = PolicyStep::SuperClass,
      .expected = "KAVRO.\x95\x5c"},
     {.name = "dbcs_extension_ending_in_trail_byte",
      .config = &kTrailByteExtension,
      .path = "/srv/www/movie.\x95\x5c",
      .outcome = Outcome::Pass}},
    {{.name = "dbcs_file_name_with_trail_byte_stays_whole",
      .config = &kPublicTail,
      .path = "/srv/www/\x95\x5c"
              "movie.exe",
      .outcome = Outcome::Diverted,
      .step = PolicyStep::SuperClass,
      .expected = "KAVRO.exe"},
     {.name = "dbcs_file_name_with_trail_byte_stays_whole",
      .config = &kPublicTail,
      .path = "/srv/www/\x95\x5c"
              "movie.exe",
      .outcome = Outcome::Pass}},
};

void CheckLocaleCases(Report& report, LoadedFilter& filter, const LocaleExpectation& expected) {
    const CaseHost host = LibraryHost(filter, HostPatternToken);
    for (const LocaleCase& c : kLocaleCases) {
        const PolicyCase& which = expected.dbcs ? c.onDoubleByteHost : c.onSingleByteHost;
        report.Check(which.name, testing::RunPolicyCase(which, host));
    }

    // Both locales write the date differently from m/d/yy: a token dated
    // that way must not pass.
    const PolicyCase defaultDate{.name = "token_dated_by_default_pattern_refused",
                                 .config = &kDatedTokens,
                                 .query = "kavro={TOKEN}",
                                 .path = "/srv/www/f.zip",
                                 .outcome = Outcome::BlockPage,
                                 .step = PolicyStep::AdvancedInvalidToken};
    report.Check(defaultDate.name,
                 testing::RunPolicyCase(defaultDate, LibraryHost(filter, DefaultPatternToken)));
    const PolicyCase hostDate{.name = "token_dated_by_host_pattern_accepted",
                              .config = &kDatedTokens,
                              .query = "kavro={TOKEN}",
                              .path = "/srv/www/f.zip"};
    report.Check(hostDate.name, testing::RunPolicyCase(hostDate, host));
}

// The file the renamed library must read; removed again afterwards.
struct IniBesideExecutable {
    std::string path;
    IniBesideExecutable(const std::string& folder, const std::string& content)
        : path(folder + "KAVRO.ini") {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file != nullptr) {
            std::fwrite(content.data(), 1, content.size(), file);
            std::fclose(file);
        }
    }
    ~IniBesideExecutable() { DeleteFileA(path.c_str()); }
};

void CheckRenamedLibrary(Report& report, const std::string& library,
                         const std::string& executableFolder) {
    const IniBesideExecutable besideServer(executableFolder,
                                           "[KAVRO]\nSuperExt=.exe\nSuperAction=0\n");
    LoadedFilter renamed(library, "renamed.dll");
    renamed.folder.Write("KAVRO.ini", "[KAVRO]\nSuperExt=.txt\nSuperAction=0\n");
    if (!renamed.library->Loaded()) {
        report.Check("renamed_library_loads", renamed.library->Error());
        return;
    }
    HTTP_FILTER_VERSION version{};
    renamed.library->Register(version);

    FakeRequest exe;
    exe.physicalPath = "C:\\srv\\www\\setup.exe";
    const uint32_t exeStatus = renamed.library->Run(exe);
    report.Check("renamed_library_reads_ini_beside_executable",
                 exeStatus == SF_STATUS_REQ_FINISHED && exe.finalPath == "KAVRO.exe"
                     ? ""
                     : "status " + std::to_string(exeStatus) + ", path " + exe.finalPath);

    FakeRequest txt;
    txt.physicalPath = "C:\\srv\\www\\notes.txt";
    const uint32_t txtStatus = renamed.library->Run(txt);
    report.Check("renamed_library_ignores_ini_beside_itself",
                 txtStatus == SF_STATUS_REQ_NEXT_NOTIFICATION && txt.finalPath == txt.physicalPath
                     ? ""
                     : "status " + std::to_string(txtStatus) + ", path " + txt.finalPath);
}

// IIS with a filter of its own for each site loads several files named
// qelmor.dll into one worker process; each must read the KAVRO.ini beside
// itself, not the one beside the copy that was loaded first.
void CheckCopiesReadTheirOwnIni(Report& report, const std::string& library) {
    LoadedFilter first(library, "qelmor.dll");
    LoadedFilter second(library, "qelmor.dll");
    first.folder.Write("KAVRO.ini", "[KAVRO]\nSuperExt=.exe\nSuperAction=0\n");
    second.folder.Write("KAVRO.ini", "[KAVRO]\nSuperExt=.txt\nSuperAction=0\n");
    if (!first.library->Loaded() || !second.library->Loaded()) {
        report.Check("copies_load", first.library->Error() + second.library->Error());
        return;
    }
    HTTP_FILTER_VERSION version{};
    first.library->Register(version);
    second.library->Register(version);

    std::string failure;
    const struct {
        LoadedFilter* filter;
        const char* path;
        bool refused;
    } runs[] = {
        {&first, "C:\\srv\\www\\setup.exe", true},
        {&first, "C:\\srv\\www\\notes.txt", false},
        {&second, "C:\\srv\\www\\setup.exe", false},
        {&second, "C:\\srv\\www\\notes.txt", true},
    };
    for (const auto& run : runs) {
        FakeRequest request;
        request.physicalPath = run.path;
        const uint32_t status = run.filter->library->Run(request);
        const bool refused = status == SF_STATUS_REQ_FINISHED;
        if (refused != run.refused) {
            failure += std::string(run.filter == &first ? " first" : " second") + " copy " +
                       (refused ? "refused " : "passed ") + run.path + ";";
        }
    }
    report.Check("copies_read_their_own_ini", failure);
}

const char* const kConfigKeys[] = {
    "DomainName",  "FriendDomain", "PubFile",      "OpenSecurity", "PubKey",         "PassMode",
    "EncryptMode", "CommonExt",    "CommonAction", "AdvancedExt",  "AdvancedAction", "MediaExt",
    "PlayOnline",  "Mediaaction",  "SuperExt",     "SuperAction",  "UrlLength",      "BadChar",
    "Title",       "Alert",        "PauseTime",    "RedirectUrl",  "TokenGrace",     "ReasonHeader"};

std::string ConfigDifferences(const FilterConfig& got, const FilterConfig& wanted) {
    std::string differ;
    auto field = [&differ](const char* name, bool same) {
        if (!same) differ += std::string(differ.empty() ? "" : ", ") + name;
    };
    field("DomainName", got.DomainName == wanted.DomainName);
    field("FriendDomain", got.FriendDomain == wanted.FriendDomain);
    field("PubFile", got.PubFile == wanted.PubFile);
    field("OpenSecurity", got.OpenSecurity == wanted.OpenSecurity);
    field("PubKey", got.PubKey == wanted.PubKey);
    field("PassMode", got.PassMode == wanted.PassMode);
    field("EncryptMode", got.EncryptMode == wanted.EncryptMode);
    field("CommonExt", got.CommonExt == wanted.CommonExt);
    field("CommonAction", got.CommonAction == wanted.CommonAction);
    field("AdvancedExt", got.AdvancedExt == wanted.AdvancedExt);
    field("AdvancedAction", got.AdvancedAction == wanted.AdvancedAction);
    field("MediaExt", got.MediaExt == wanted.MediaExt);
    field("PlayOnline", got.PlayOnline == wanted.PlayOnline);
    field("Mediaaction", got.Mediaaction == wanted.Mediaaction);
    field("SuperExt", got.SuperExt == wanted.SuperExt);
    field("SuperAction", got.SuperAction == wanted.SuperAction);
    field("UrlLength", got.UrlLength == wanted.UrlLength);
    field("BadChar", got.BadChar == wanted.BadChar);
    field("Title", got.Title == wanted.Title);
    field("Alert", got.Alert == wanted.Alert);
    field("PauseTime", got.PauseTime == wanted.PauseTime);
    field("RedirectUrl", got.RedirectUrl == wanted.RedirectUrl);
    field("TokenGrace", got.TokenGrace == wanted.TokenGrace);
    field("ReasonHeader", got.ReasonHeader == wanted.ReasonHeader);
    return differ;
}

// The sample shipped in the release package, as packed (Windows line ends):
// it names every key, and as shipped it changes nothing.
void CheckSampleIni(Report& report, const std::string& executableFolder) {
    const std::string sample = executableFolder + "package\\qelmor-windows-" +
                               (sizeof(void*) == 8 ? "x64" : "x86") + "\\KAVRO.ini";
    if (GetFileAttributesA(sample.c_str()) == INVALID_FILE_ATTRIBUTES) {
        report.Check("sample_ini_present", "no file " + sample);
        return;
    }
    std::string missing;
    for (const char* key : kConfigKeys) {
        if (platform::ReadIniString(sample, kConfigSection, key, "\x01", kIniReadBuffer) ==
            "\x01") {
            missing += std::string(missing.empty() ? "" : ", ") + key;
        }
    }
    report.Check("sample_ini_names_every_key", missing.empty() ? "" : "missing " + missing);

    FilterConfig loaded;
    loaded.PubKey = "not the default";
    loaded.PauseTime = -7;
    loaded.CommonAction = false;
    loaded.TokenGrace = 7;
    loaded.ReasonHeader = true;
    LoadFilterConfig(loaded, sample);
    const std::string differ = ConfigDifferences(loaded, FilterConfig{});
    report.Check("sample_ini_gives_the_defaults", differ.empty() ? "" : "differs in " + differ);
}

}  // namespace

void RunLibraryChecks(Report& report, const std::string& library,
                      const std::string& executableFolder, const LocaleExpectation& expected) {
    {
        LoadedFilter filter(library, "qelmor.dll");
        report.Check("library_loads", filter.library->Loaded() ? "" : filter.library->Error());
        if (!filter.library->Loaded()) return;
        CheckRegistration(report, filter);
        CheckSharedTable(report, filter);
        CheckLocaleCases(report, filter, expected);
    }
    // Only once no module named qelmor.dll is loaded any more.
    CheckRenamedLibrary(report, library, executableFolder);
    CheckCopiesReadTheirOwnIni(report, library);
    CheckSampleIni(report, executableFolder);
}

}  // namespace qelmor::wintest
