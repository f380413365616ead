// Platform layer: virtual memory, sleeping, the environment, the clock and
// the zone packing of dates, the current directory.
#include "runtime/platform/platform.h"
#include "runtime/system.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>

#include <unistd.h>

using namespace oru;

TEST(Platform, VirtualMemoryRoundTripAndFailures) {
    auto* p = static_cast<u8*>(platform::allocate_virtual(3 * 4096, false));
    EXPECT_EQ(p[0], 0);
    p[3 * 4096 - 1] = 0xAB;
    platform::free_virtual(p, 3 * 4096);

    try {
        platform::allocate_virtual(size_t{1} << 60, false);
        ADD_FAILURE() << "an impossible mapping succeeded";
    } catch (const SystemThrow& t) {
        EXPECT_EQ(t.code, throw_code::mem_alloc);
    }
    try {
        platform::free_virtual(reinterpret_cast<void*>(uintptr_t{1}), 4096);  // not page-aligned
        ADD_FAILURE() << "a bad release succeeded";
    } catch (const SystemThrow& t) {
        EXPECT_EQ(t.code, throw_code::mem_release);
    }
}

TEST(Platform, SleepMillisecondsAreTruncatedWithAMinimumOfOne) {
    struct Case {
        double seconds;
        i32 ms;
    } cases[] = {
        {0.0, 1}, {0.0001, 1}, {0.001, 1}, {0.0019, 1}, {0.0025, 2}, {0.5, 500}, {2.9999, 2999},
        {-3.0, 1}, {std::numeric_limits<double>::quiet_NaN(), 1}, {-std::numeric_limits<double>::infinity(), 1},
        {1e12, 0x7FFFFFFF}, {std::numeric_limits<double>::infinity(), 0x7FFFFFFF},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::sleep_ms(c.seconds), c.ms) << c.seconds;

    for (double s : {0.0, 0.0001}) {
        auto start = std::chrono::steady_clock::now();
        platform::sleep(s);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1)) << s;
    }
}

TEST(Platform, EnvironmentSizesFollowTheNeededSizeConvention) {
    const char* name = "ORU_PLATFORM_TEST_VAR";
    char buf[16];
    ASSERT_TRUE(platform::set_env(name, nullptr));
    EXPECT_EQ(platform::get_env(name, buf, sizeof buf), 0u);

    ASSERT_TRUE(platform::set_env(name, "caf\xC3\xA9"));  // 5 bytes of UTF-8
    EXPECT_EQ(platform::get_env(name, buf, 5), 6u) << "too small: the size with the terminator";
    EXPECT_EQ(platform::get_env(name, nullptr, 0), 6u);
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(platform::get_env(name, buf, 6), 5u);
    EXPECT_STREQ(buf, "caf\xC3\xA9");

    ASSERT_TRUE(platform::set_env(name, ""));
    EXPECT_EQ(platform::get_env(name, buf, sizeof buf), 0u);
    EXPECT_EQ(platform::get_env(name, buf, 0), 1u);

    ASSERT_TRUE(platform::set_env(name, nullptr));
    EXPECT_EQ(std::getenv(name), nullptr);
    EXPECT_FALSE(platform::set_env("", "v"));
    EXPECT_FALSE(platform::set_env("A=B", "v"));
}

TEST(Platform, TimeOfDay) {
    for (int i = 0; i < 3; ++i) {
        double whole = platform::get_time(false);
        EXPECT_EQ(whole, std::floor(whole));
        EXPECT_GE(whole, 0.0);
        EXPECT_LT(whole, 86400.0);
        double precise = platform::get_time(true);
        // Equal or one second on (or wrapped past midnight).
        double step = precise - whole;
        EXPECT_TRUE((step >= 0.0 && step < 2.0) || whole > 86398.0) << whole << " " << precise;
        long now = static_cast<long>(std::time(nullptr) % 86400);
        EXPECT_LE(std::fabs(static_cast<double>(now) - whole), 1.0);
    }
}

TEST(Platform, ZonePacking) {
    // sign 0x40, hours << 2, quarter hours
    struct Case {
        int minutes;
        u32 zone;
    } cases[] = {
        {0, 0},
        {5 * 60 + 45, (5 << 2) | 3},
        {-(3 * 60 + 30), ((16 | 3) << 2) | 2},
        {-(3 * 60 + 45), ((16 | 3) << 2) | 3},
        {-30, (16 << 2) | 2},
        {-15, (16 << 2) | 1},
        {14 * 60, 14 << 2},
        {-12 * 60, (16 | 12) << 2},
        {9 * 60 + 30, (9 << 2) | 2},
        {60 + 10, 1 << 2},  // below a quarter hour: dropped
    };
    for (const Case& c : cases) EXPECT_EQ(platform::pack_zone(c.minutes), c.zone) << c.minutes;
}

TEST(Platform, DatesCarryTheLocalZone) {
    auto unpack = [](u32 d, u32* year, u32* month, u32* day) {
        *year = d >> 17;
        *month = (d >> 12) & 15;
        *day = (d >> 7) & 31;
        return d & 0x7F;
    };
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    struct Case {
        const char* tz;
        u32 zone;
    } cases[] = {{"UTC0", 0}, {"ABC+0:30", (16 << 2) | 2}, {"ABC-5:45", (5 << 2) | 3}, {"ABC+3:30", ((16 | 3) << 2) | 2}};
    for (const Case& c : cases) {
        setenv("TZ", c.tz, 1);
        tzset();
        time_t t = std::time(nullptr);
        tm local{};
        localtime_r(&t, &local);
        u32 y, m, d;
        EXPECT_EQ(unpack(platform::get_date(false), &y, &m, &d), c.zone) << c.tz;
        EXPECT_EQ(y, static_cast<u32>(local.tm_year + 1900));
        EXPECT_EQ(m, static_cast<u32>(local.tm_mon + 1));
        EXPECT_EQ(d, static_cast<u32>(local.tm_mday));

        tm utc{};
        gmtime_r(&t, &utc);
        EXPECT_EQ(unpack(platform::get_date(true), &y, &m, &d), 0u);
        EXPECT_EQ(d, static_cast<u32>(utc.tm_mday));
    }
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(Platform, CurrentDirectoryRoundTrip) {
    std::string start = platform::get_current_dir();
    ASSERT_FALSE(start.empty());
    char tmpl[] = "/tmp/oru-cwd-\xC3\xA9-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    ASSERT_TRUE(platform::set_current_dir(tmpl));
    EXPECT_EQ(platform::get_current_dir(), tmpl);
    EXPECT_FALSE(platform::set_current_dir("/no/such/directory/here"));
    EXPECT_EQ(platform::get_current_dir(), tmpl);

    // A removed directory has no path to report; that is not an error.
    rmdir(tmpl);
    EXPECT_TRUE(platform::get_current_dir().empty());
    ASSERT_TRUE(platform::set_current_dir(start.c_str()));
    EXPECT_EQ(platform::get_current_dir(), start);
}

// A file over the limit is refused whole: by its size before any byte is
// read, or, when the size is unknown (files of /proc report 0), once the
// bytes read pass the limit.
TEST(Platform, ReadFileRefusesWhatIsOverTheLimit) {
    char path[] = "/tmp/oru_read_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string text(100, 'x');
    ASSERT_EQ(write(fd, text.data(), text.size()), 100);
    close(fd);
    struct Case {
        const char* path;
        u64 limit;
        platform::ReadResult want;
    } cases[] = {
        {path, 100, platform::ReadResult::ok},
        {path, 99, platform::ReadResult::too_large},
        {"/proc/self/status", 10, platform::ReadResult::too_large},
        {"/proc/self/status", platform::max_script_bytes, platform::ReadResult::ok},
        {"/nonexistent/oru", 10, platform::ReadResult::cannot_open},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(platform::read_file(c.path, out, c.limit), c.want) << c.path << " " << c.limit;
        if (c.want != platform::ReadResult::ok) {
            EXPECT_TRUE(out.empty()) << c.path;
        }
    }
    std::string out;
    platform::read_file(path, out, 100);
    EXPECT_EQ(out, text);
    unlink(path);
}
