// Platform layer on POSIX: mmap for virtual memory, getcwd/chdir, nanosleep,
// the environment, clock_gettime and localtime_r for the clock and zone.
#include "runtime/platform/platform.h"

#include "runtime/console.h"
#include "runtime/system.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace oru::platform {

void* allocate_virtual(size_t size, bool executable) {
    int prot = PROT_READ | PROT_WRITE | (executable ? PROT_EXEC : 0);
    void* p = mmap(nullptr, size, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) system_throw(throw_code::mem_alloc);
    return p;
}

void free_virtual(void* address, size_t size) {
    if (munmap(address, size) != 0) system_throw(throw_code::mem_release);
}

u64 address_space_limit() {
    u64 limit = UINT64_MAX;
    for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        rlimit r{};
        if (getrlimit(resource, &r) == 0 && r.rlim_cur != RLIM_INFINITY && r.rlim_cur < limit) limit = r.rlim_cur;
    }
    return limit;
}

void init() { console::init(); }

std::string get_current_dir() {
    // glibc sizes the buffer itself when given none.
    char* dir = getcwd(nullptr, 0);
    if (!dir) return {};
    std::string result(dir);
    std::free(dir);
    return result;
}

bool set_current_dir(const char* path) { return chdir(path) == 0; }

ReadResult read_file(const char* path, std::string& out, u64 limit) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ReadResult::cannot_open;
    ReadResult result = ReadResult::ok;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<u64>(st.st_size) > limit) {
        ::close(fd);
        return ReadResult::too_large;
    }
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            result = ReadResult::cannot_open;
            break;
        }
        if (out.size() + static_cast<u64>(n) > limit) {
            result = ReadResult::too_large;
            break;
        }
        out.append(chunk, static_cast<size_t>(n));
    }
    const int saved = errno;
    ::close(fd);
    errno = saved;
    if (result != ReadResult::ok) out.clear();
    return result;
}

i32 sleep_ms(double seconds) {
    double ms = seconds * 1000.0;
    if (!(ms >= 1.0)) return 1;  // also NaN
    if (ms >= 2147483647.0) return 0x7FFFFFFF;
    return static_cast<i32>(ms);
}

void sleep(double seconds) {
    i32 ms = sleep_ms(seconds);
    timespec want{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    timespec left{};
    while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
}

bool set_env(const char* name, const char* value) {
    if (!name || !*name || std::strchr(name, '=')) return false;
    if (!value) return unsetenv(name) == 0;
    return setenv(name, value, 1) == 0;
}

u32 get_env(const char* name, char* buffer, u32 size) {
    const char* value = name ? std::getenv(name) : nullptr;
    if (!value) return 0;
    size_t len = std::strlen(value);
    if (len >= 0xFFFFFFFFu) return 0;  // cannot be reported; treated as unset
    if (len + 1 > size) return static_cast<u32>(len + 1);
    std::memcpy(buffer, value, len + 1);
    return static_cast<u32>(len);
}

double get_time(bool precise) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // POSIX time has no leap seconds: the time of day is the remainder.
    double seconds = static_cast<double>(now.tv_sec % 86400);
    if (precise) seconds += static_cast<double>(now.tv_nsec / 100) / 1e7;
    return seconds;
}

u32 pack_zone(int offset_minutes) {
    u32 magnitude = offset_minutes < 0 ? 0u - static_cast<u32>(offset_minutes) : static_cast<u32>(offset_minutes);
    u32 hours = (magnitude / 60) & 15;
    u32 quarters = (magnitude % 60) / 15;
    if (offset_minutes < 0) hours |= 16;
    return hours << 2 | quarters;
}

u32 get_date(bool utc) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    time_t t = now.tv_sec;
    tm parts{};
    u32 zone = 0;
    if (utc) {
        gmtime_r(&t, &parts);
    } else {
        localtime_r(&t, &parts);
        zone = pack_zone(static_cast<int>(parts.tm_gmtoff / 60));
    }
    u32 year = static_cast<u32>(parts.tm_year + 1900);
    u32 month = static_cast<u32>(parts.tm_mon + 1);
    u32 day = static_cast<u32>(parts.tm_mday);
    return year << 17 | month << 12 | day << 7 | zone;
}

Clock get_clock(bool precise, bool utc) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    Clock c{static_cast<i64>(now.tv_sec), precise ? static_cast<double>(now.tv_nsec / 100) / 1e7 : 0.0, 0};
    if (!utc) {
        time_t t = now.tv_sec;
        tm parts{};
        localtime_r(&t, &parts);
        c.offset = static_cast<i32>(parts.tm_gmtoff);
    }
    return c;
}

}  // namespace oru::platform
