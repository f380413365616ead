// The sort module on plain C++ records: both sorts against std::sort over
// shaped inputs and record sizes, stability of the merge sort, one scan for
// sorted and reversed input, and a comparator that raises partway.
#include "runtime/sort.h"

#include "runtime/system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

using namespace oru;

namespace {

// A record: a key, then its original position (to check stability), then
// padding up to the record size under test.
struct Counter {
    long calls = 0;
    long fail_at = -1;  // the comparison that throws, or -1
};

i32 by_key(const void* a, const void* b, const void* user1, const void*) {
    auto* counter = static_cast<Counter*>(const_cast<void*>(user1));
    if (counter) {
        if (counter->calls == counter->fail_at) throw std::runtime_error("comparator");
        ++counter->calls;
    }
    i32 x, y;
    std::memcpy(&x, a, 4);
    std::memcpy(&y, b, 4);
    return x < y ? -1 : x > y ? 1 : 0;
}

std::vector<i32> shaped(const char* shape, int n, std::mt19937& gen) {
    std::vector<i32> v(static_cast<size_t>(n));
    for (int i = 0; i < n; i++) v[static_cast<size_t>(i)] = i;
    const std::string s = shape;
    if (s == "random") std::shuffle(v.begin(), v.end(), gen);
    else if (s == "reversed") std::reverse(v.begin(), v.end());
    else if (s == "few-keys") for (auto& x : v) x = static_cast<i32>(gen() % 5);
    else if (s == "organ-pipe") for (int i = n / 2; i < n; i++) v[static_cast<size_t>(i)] = n - i;
    else if (s == "sorted-then-random") std::shuffle(v.begin() + n / 2, v.end(), gen);
    else if (s == "mostly-descending") {
        std::reverse(v.begin(), v.end());
        for (int k = 0; k < n / 50; k++) std::swap(v[gen() % n], v[gen() % n]);
    } else if (s == "equal") for (auto& x : v) x = 7;
    return v;
}

// Records of `size` bytes: key at 0, original position at 4 (when it fits).
std::vector<u8> records(const std::vector<i32>& keys, int size) {
    std::vector<u8> out(keys.size() * static_cast<size_t>(size), 0xEE);
    for (size_t i = 0; i < keys.size(); i++) {
        std::memcpy(&out[i * size], &keys[i], 4);
        if (size >= 8) {
            const i32 pos = static_cast<i32>(i);
            std::memcpy(&out[i * size + 4], &pos, 4);
        }
    }
    return out;
}

i32 key_at(const std::vector<u8>& r, int size, size_t i) {
    i32 k;
    std::memcpy(&k, &r[i * size], 4);
    return k;
}
i32 pos_at(const std::vector<u8>& r, int size, size_t i) {
    i32 k;
    std::memcpy(&k, &r[i * size + 4], 4);
    return k;
}

TEST(Sort, BothSortsOrderEveryShapeAndRecordSize) {
    std::mt19937 gen(42);
    const char* shapes[] = {"random", "sorted", "reversed", "few-keys", "organ-pipe", "sorted-then-random",
                            "mostly-descending", "equal"};
    for (int n : {0, 1, 2, 7, 8, 23, 24, 25, 100, 511, 512, 5000, 70000}) {
        for (const char* shape : shapes) {
            for (int size : {4, 8, 16, 20, 48}) {
                const std::vector<i32> keys = shaped(shape, n, gen);
                std::vector<i32> expected = keys;
                std::sort(expected.begin(), expected.end());
                for (bool stable : {false, true}) {
                    std::vector<u8> r = records(keys, size);
                    if (stable) {
                        sort::merge(r.data(), n, size, nullptr, nullptr, by_key);
                    } else {
                        sort::quick(r.data(), n, size, nullptr, nullptr, by_key);
                    }
                    for (int i = 0; i < n; i++) {
                        ASSERT_EQ(key_at(r, size, i), expected[i])
                            << shape << " n=" << n << " size=" << size << " stable=" << stable << " at " << i;
                        if (stable && size >= 8 && i > 0 && key_at(r, size, i) == key_at(r, size, i - 1)) {
                            ASSERT_LT(pos_at(r, size, i - 1), pos_at(r, size, i)) << shape << " n=" << n;
                        }
                    }
                }
            }
        }
    }
}

// Sorted and reverse-sorted input are one run: about n comparisons, not
// n log n, for both sorts.
TEST(Sort, SortedAndReversedInputTakeOneScan) {
    std::mt19937 gen(1);
    const int n = 100000;
    for (const char* shape : {"sorted", "reversed"}) {
        for (bool stable : {false, true}) {
            std::vector<u8> r = records(shaped(shape, n, gen), 8);
            Counter counter;
            if (stable) sort::merge(r.data(), n, 8, &counter, nullptr, by_key);
            else sort::quick(r.data(), n, 8, &counter, nullptr, by_key);
            EXPECT_LE(counter.calls, 2L * n) << shape << " stable=" << stable;
            for (int i = 0; i < n; i++) ASSERT_EQ(key_at(r, 8, i), i);
        }
    }
}

// A comparator that raises leaves the same records, whichever comparison it
// raises at (inside a merge of runs, a partition or an insertion).
TEST(Sort, RaisingComparatorKeepsTheRecords) {
    std::mt19937 gen(7);
    const int n = 3000;
    const std::vector<i32> keys = shaped("random", n, gen);
    std::vector<i32> expected = keys;
    std::sort(expected.begin(), expected.end());
    for (bool stable : {false, true}) {
        for (long fail_at : {0L, 10L, 5000L, 20000L, 30000L}) {
            std::vector<u8> r = records(keys, 16);
            Counter counter;
            counter.fail_at = fail_at;
            EXPECT_THROW(stable ? sort::merge(r.data(), n, 16, &counter, nullptr, by_key)
                                : sort::quick(r.data(), n, 16, &counter, nullptr, by_key),
                         std::runtime_error)
                << "stable=" << stable << " fail_at=" << fail_at;
            std::vector<i32> left;
            for (int i = 0; i < n; i++) left.push_back(key_at(r, 16, i));
            std::sort(left.begin(), left.end());
            EXPECT_EQ(left, expected) << "stable=" << stable << " fail_at=" << fail_at;
        }
    }
}

TEST(Sort, SwapWordsOrBytes) {
    u8 a[6] = {1, 2, 3, 4, 5, 6}, b[6] = {9, 8, 7, 6, 5, 4};
    sort::swap(a, b, 6, true);
    EXPECT_EQ(a[0], 9);
    EXPECT_EQ(b[5], 6);
    u8 c[8] = {1, 2, 3, 4, 5, 6, 7, 8}, d[8] = {};
    sort::swap(c, d, 8, false);
    EXPECT_EQ(d[7], 8);
    EXPECT_EQ(c[0], 0);
}

}  // namespace
