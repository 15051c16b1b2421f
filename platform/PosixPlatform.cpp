// POSIX implementation of the platform calls.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "text/IniText.h"
#include "platform/Platform.h"

namespace qelmor::platform {
namespace {

// The local clock's offset from UTC at the last second converted, packed
// with that second into one word: every thread reads a consistent pair
// without a lock, and nothing is allocated per thread. Zero: none yet.
constexpr int kOffsetBits = 18;
constexpr int64_t kOffsetBias = int64_t(1) << (kOffsetBits - 1);
std::atomic<uint64_t> lastOffset{0};

bool CachedOffset(time_t second, int64_t& offset) {
    const uint64_t packed = lastOffset.load(std::memory_order_relaxed);
    if (second <= 0 || packed >> kOffsetBits != uint64_t(second)) return false;
    offset = int64_t(packed & ((uint64_t(1) << kOffsetBits) - 1)) - kOffsetBias;
    return true;
}

void RememberOffset(time_t second, int64_t offset) {
    if (second <= 0 || offset <= -kOffsetBias || offset >= kOffsetBias) return;
    lastOffset.store(uint64_t(second) << kOffsetBits | uint64_t(offset + kOffsetBias),
                     std::memory_order_relaxed);
}

// The date of the last local day worked out, packed with that day: the
// date changes once a day, and working it out costs a chain of divisions.
// Zero matches no day.
constexpr int64_t kDayBias = int64_t(1) << 30;
std::atomic<uint64_t> lastDate{0};

CalendarDate DateOfDay(int64_t days) {
    const uint64_t packed = lastDate.load(std::memory_order_relaxed);
    const uint64_t key = uint64_t(days + kDayBias);
    if (packed >> 24 == key) {
        return {int(packed >> 9 & 0x3FFF), int(packed >> 5 & 0xF), int(packed & 0x1F)};
    }
    const CalendarDate date = DateFromUnixDays(days);
    if (days > -kDayBias && days < kDayBias && date.year >= 0 && date.year < 0x4000) {
        lastDate.store(
            key << 24 | uint64_t(date.year) << 9 | uint64_t(date.month) << 5 | uint64_t(date.day),
            std::memory_order_relaxed);
    }
    return date;
}

LocalClock ClockAt(time_t second, int64_t offset, long nanoseconds) {
    const int64_t local = int64_t(second) + offset;
    const int64_t days = (local >= 0 ? local : local - 86399) / 86400;
    const int64_t secondOfDay = local - days * 86400;
    LocalClock clock;
    clock.date = DateOfDay(days);
    clock.time = {int(secondOfDay / 3600), int(secondOfDay / 60 % 60), int(secondOfDay % 60),
                  int(nanoseconds / 1000000)};
    return clock;
}

bool SameClock(const LocalClock& a, const LocalClock& b) {
    return a.date.year == b.date.year && a.date.month == b.date.month && a.date.day == b.date.day &&
           a.time.hour == b.time.hour && a.time.minute == b.time.minute &&
           a.time.second == b.time.second;
}

std::string_view BaseName(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

struct ModuleSearch {
    std::string_view name;
    uintptr_t ownCode;
    std::string found;
};

bool HoldsAddress(const dl_phdr_info& info, uintptr_t address) {
    for (int i = 0; i < info.dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info.dlpi_phdr[i];
        if (segment.p_type != PT_LOAD) continue;
        const uintptr_t start = info.dlpi_addr + segment.p_vaddr;
        if (address >= start && address - start < segment.p_memsz) return true;
    }
    return false;
}

// The first module of the name, unless several are loaded: a server that
// gives each site its own copy of the library has them all in one process,
// and each copy must find itself, or every site would read the settings of
// the copy loaded first.
int VisitModule(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<ModuleSearch*>(data);
    if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
    if (BaseName(info->dlpi_name) != search->name) return 0;
    const bool own = HoldsAddress(*info, search->ownCode);
    if (own || search->found.empty()) search->found = info->dlpi_name;
    return own ? 1 : 0;
}

std::string ExecutableFileName() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, size_t(length)) : std::string();
}

}  // namespace

// POSIX hosts have no per-locale date patterns for us to honour: the
// defaults apply, which keeps tokens identical on every Linux server.
HostLocale ReadHostLocale() {
    return HostLocale{};
}

LocalClock ReadLocalClock() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // localtime_r takes the time-zone lock and searches the zone's
    // transitions; a clocked token check reads the clock three times and a
    // busy server asks for the same second over and over. Within the second
    // whose offset is known the rest is arithmetic.
    int64_t offset = 0;
    if (CachedOffset(now.tv_sec, offset)) return ClockAt(now.tv_sec, offset, now.tv_nsec);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    LocalClock clock;
    clock.date = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
    clock.time = {local.tm_hour, local.tm_min, local.tm_sec, int(now.tv_nsec / 1000000)};
    // A zone that counts leap seconds is not plain arithmetic on the
    // offset: such a second is not remembered, and converts every time.
    if (SameClock(ClockAt(now.tv_sec, local.tm_gmtoff, now.tv_nsec), clock)) {
        RememberOffset(now.tv_sec, local.tm_gmtoff);
    }
    return clock;
}

std::string ModuleFileName(std::string_view moduleName) {
    ModuleSearch search{moduleName, reinterpret_cast<uintptr_t>(&VisitModule), {}};
    dl_iterate_phdr(VisitModule, &search);
    if (!search.found.empty()) {
        // A module loaded by a relative name reports that name; make it
        // absolute so its directory is usable from any working directory.
        if (search.found.front() != '/') {
            char resolved[PATH_MAX];
            if (realpath(search.found.c_str(), resolved) != nullptr) return resolved;
        }
        return search.found;
    }
    return ExecutableFileName();
}

FileText ReadRegularFile(const std::string& path) {
    FileText file;
    // Look before opening: a device is never opened at all, and a FIFO would
    // wait for a writer.
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        file.state = errno == ENOENT || errno == ENOTDIR ? FileState::Missing
                                                         : FileState::Unreadable;
        return file;
    }
    file.state = FileState::Unreadable;
    if (!S_ISREG(info.st_mode)) return file;
    // O_NONBLOCK in case the name was swapped for a FIFO since the look.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return file;
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return file;

    // Storage of the size the file reports, in one allocation; a file that
    // memory cannot hold throws here, before anything is read.
    if (uintmax_t(info.st_size) > file.text.max_size()) throw std::length_error("KAVRO.ini");
    file.text.resize(size_t(info.st_size));
    size_t filled = 0;
    for (;;) {
        if (filled == file.text.size()) {
            // It grew since fstat, or reports no size: read on to its end.
            file.text.resize(filled + 64 * 1024);
        }
        const ssize_t got = read(fd, file.text.data() + filled, file.text.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            file.text.clear();
            return file;
        }
        if (got == 0) break;
        filled += size_t(got);
    }
    file.text.resize(filled);
    file.state = FileState::Read;
    return file;
}

IniFile::IniFile(const std::string& path) : path_(path) {
    FileText file = ReadRegularFile(path);
    state_ = file.state;
    text_ = std::move(file.text);
}

std::vector<std::string> IniFile::Read(std::string_view section, std::span<const IniEntry> entries,
                                       size_t bufferSize) const {
    return ReadIniEntries(state_ == FileState::Read ? text_ : std::string_view(), section, entries,
                          bufferSize);
}

}  // namespace qelmor::platform
