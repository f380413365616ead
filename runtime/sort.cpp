// Sorting: the stable merge sort (powersort) and the unstable quicksort over
// arrays of fixed-size records; see sort.h for the contract.
//
// Both are written once over a record layout whose size is known at compile
// time for the common records (cells, string units, record numbers) and at
// run time for the others, so that moving a cell is two 8-byte stores rather
// than a byte loop. Indexes are 64-bit: n x size may exceed 32 bits.
#include "runtime/sort.h"

#include "runtime/fire.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace oru::sort {

CallHook call_comparator = [](const Cell&, const Cell&, const Cell&) -> Cell { fire(ErrorId::internal_not_done); };

namespace {

// Runs shorter than this are extended by insertion before merging.
constexpr i64 min_run = 24;
// Ranges of at most this many records are finished by insertion.
constexpr i64 small_range = 7;
// Every this many adjacent pairs past the initial run count toward the
// presortedness score.
constexpr i64 score_step = 97;
// From this many records on, the pivot comes from a sorted sample of
// sample_size records rather than from a median of three.
constexpr i64 sample_from = 512;
constexpr i64 sample_size = 63;

template <size_t S>
struct Fixed {
    static constexpr size_t size() { return S; }
    static void swap(u8* a, u8* b) {
        u8 t[S];
        std::memcpy(t, a, S);
        std::memcpy(a, b, S);
        std::memcpy(b, t, S);
    }
};

struct Dynamic {
    size_t bytes;
    bool bytewise;
    size_t size() const { return bytes; }
    void swap(u8* a, u8* b) const { sort::swap(a, b, static_cast<i32>(bytes), bytewise); }
};

template <class Layout>
class Sorter {
public:
    Sorter(u8* base, Layout layout, const void* user1, const void* user2, Comparator cmp)
        : base_(base), layout_(layout), user1_(user1), user2_(user2), cmp_(cmp) {}

    void merge_sort(i64 n);
    void quick_sort(i64 n);

private:
    u8* at(i64 i) const { return base_ + static_cast<size_t>(i) * layout_.size(); }
    i32 compare(const u8* a, const u8* b) const { return cmp_(a, b, user1_, user2_); }
    void swap(i64 i, i64 j) const { layout_.swap(at(i), at(j)); }
    void copy(u8* dst, const u8* src, i64 count) const {
        if (count > 0) std::memcpy(dst, src, static_cast<size_t>(count) * layout_.size());
    }
    // Reverses the records [lo, hi).
    void reverse(i64 lo, i64 hi) const {
        for (--hi; lo < hi; ++lo, --hi) swap(lo, hi);
    }
    // Exchanges the count records at i with the count records at j (the two
    // runs do not overlap).
    void swap_runs(i64 i, i64 j, i64 count) const {
        for (i64 k = 0; k < count; ++k) swap(i + k, j + k);
    }
    // [lo, from) is in order: each later record up to hi is swapped back to
    // its place.
    void insertion(i64 lo, i64 hi, i64 from) const {
        for (i64 k = from; k < hi; ++k)
            for (i64 j = k; j > lo && compare(at(j - 1), at(j)) > 0; --j) swap(j - 1, j);
    }

    i64 next_run(i64 start, i64 n) const;
    void merge_runs(i64 start, i64 middle, i64 end, u8* buffer) const;

    void quick_core(i64 lo, i64 n, i64 prefix, int depth) const;
    struct Split {
        i64 less_end, greater_start;
    };
    Split partition(i64 lo, i64 hi, const u8* pivot) const;
    i64 median_of_three(i64 a, i64 b, i64 c) const;
    void gather_sample(i64 lo, i64 n) const;
    void rotate(i64 lo, i64 mid, i64 hi) const;
    void heap_sort(i64 lo, i64 n) const;

    u8* base_;
    Layout layout_;
    const void* user1_;
    const void* user2_;
    Comparator cmp_;
};

// ---------------------------------------------------------------------------
// Stable: natural runs merged by the powersort policy

// The end of the run that begins at start: the longest non-descending
// prefix, or the longest strictly descending one, reversed (strictness keeps
// equal records in order). A run shorter than min_run is extended by
// insertion.
template <class Layout>
i64 Sorter<Layout>::next_run(i64 start, i64 n) const {
    if (start + 1 >= n) return n;
    i64 i = start + 1;
    if (compare(at(start), at(i)) > 0) {
        while (i + 1 < n && compare(at(i), at(i + 1)) > 0) ++i;
        reverse(start, i + 1);
    } else {
        while (i + 1 < n && compare(at(i), at(i + 1)) <= 0) ++i;
    }
    i64 end = i + 1;
    if (end - start < min_run) {
        const i64 limit = std::min(start + min_run, n);
        insertion(start, limit, end);
        end = limit;
    }
    return end;
}

// Merges the sorted runs [start, middle) and [middle, end). The shorter run
// goes to the buffer; the gap it leaves travels with the merge, so a
// comparator that raises has the buffered records copied back into the gap.
template <class Layout>
void Sorter<Layout>::merge_runs(i64 start, i64 middle, i64 end, u8* buffer) const {
    if (compare(at(middle - 1), at(middle)) <= 0) return;  // already in order
    const size_t size = layout_.size();
    const i64 left = middle - start, right = end - middle;
    if (right < left) {
        // From the back: the greater record is written last; on equality the
        // buffered right record goes last, after its equal on the left.
        copy(buffer, at(middle), right);
        i64 i = middle - 1, j = right - 1, o = end - 1;
        try {
            while (i >= start && j >= 0) {
                if (compare(at(i), buffer + j * size) <= 0) copy(at(o), buffer + j-- * size, 1);
                else copy(at(o), at(i--), 1);
                --o;
            }
        } catch (...) {
            copy(at(i + 1), buffer, j + 1);
            throw;
        }
        copy(at(i + 1), buffer, j + 1);
    } else {
        copy(buffer, at(start), left);
        i64 i = 0, j = middle, o = start;
        try {
            while (i < left && j < end) {
                if (compare(buffer + i * size, at(j)) <= 0) copy(at(o), buffer + i++ * size, 1);
                else copy(at(o), at(j++), 1);
                ++o;
            }
        } catch (...) {
            copy(at(o), buffer + i * size, left - i);
            throw;
        }
        copy(at(o), buffer + i * size, left - i);
    }
}

// The powersort power of the boundary between the runs [s1, s2) and
// [s2, e2) of n records: the first bit in which the binary fractions of the
// two runs' midpoints (as parts of n) differ.
i32 boundary_power(i64 s1, i64 s2, i64 e2, i64 n) {
    u64 a = static_cast<u64>(s1 + s2), b = static_cast<u64>(s2 + e2);
    const u64 whole = static_cast<u64>(n);
    i32 power = 0;
    for (;;) {
        const bool fa = whole <= a, fb = whole <= b;
        if (fa != fb) return power;
        ++power;
        if (fa) {
            a -= whole;
            b -= whole;
        }
        a *= 2;
        b *= 2;
    }
}

struct FreeBuffer {
    void operator()(u8* p) const { std::free(p); }
};

template <class Layout>
void Sorter<Layout>::merge_sort(i64 n) {
    if (n < 2) return;
    const u64 bytes = static_cast<u64>(n / 2) * layout_.size();
    if (bytes > 0xFFFFFFFFu) fire(ErrorId::script_too_long);
    std::unique_ptr<u8, FreeBuffer> buffer(static_cast<u8*>(std::malloc(bytes ? bytes : 1)));
    if (!buffer) fire(ErrorId::internal_no_memory);

    struct Pending {
        i64 start;
        i32 power;
    };
    // Powers on the stack rise strictly from the bottom: at most one entry
    // per bit of n, plus the first.
    Pending stack[66];
    i32 top = 0;
    i64 s1 = 0, e1 = next_run(0, n);
    while (e1 < n) {
        const i64 s2 = e1, e2 = next_run(s2, n);
        const i32 power = boundary_power(s1, s2, e2, n);
        while (top > 0 && stack[top - 1].power > power) {
            merge_runs(stack[top - 1].start, s1, s2, buffer.get());
            s1 = stack[--top].start;
        }
        stack[top++] = {s1, power};
        s1 = s2;
        e1 = e2;
    }
    while (top > 0) {
        merge_runs(stack[top - 1].start, s1, n, buffer.get());
        s1 = stack[--top].start;
    }
}

// ---------------------------------------------------------------------------
// Unstable: quicksort over sorted samples

template <class Layout>
i64 Sorter<Layout>::median_of_three(i64 a, i64 b, i64 c) const {
    if (compare(at(a), at(b)) < 0) {
        if (compare(at(b), at(c)) < 0) return b;
        return compare(at(a), at(c)) < 0 ? c : a;
    }
    if (compare(at(a), at(c)) < 0) return a;
    return compare(at(b), at(c)) < 0 ? c : b;
}

// Three-way partition of [lo, hi) around the record at pivot (outside the
// range): equal records gather at both ends while scanning, then move next
// to each other in the middle.
template <class Layout>
typename Sorter<Layout>::Split Sorter<Layout>::partition(i64 lo, i64 hi, const u8* pivot) const {
    i64 a = lo, b = lo, c = hi - 1, d = hi - 1;
    for (;;) {
        while (b <= c) {
            const i32 r = compare(at(b), pivot);
            if (r > 0) break;
            if (r == 0) {
                if (a != b) swap(a, b);
                ++a;
            }
            ++b;
        }
        while (b <= c) {
            const i32 r = compare(at(c), pivot);
            if (r < 0) break;
            if (r == 0) {
                if (c != d) swap(c, d);
                --d;
            }
            --c;
        }
        if (b > c) break;
        swap(b++, c--);
    }
    // Now [lo, a) and (d, hi) are equal, [a, b) less, [b, d] greater.
    i64 s = std::min(a - lo, b - a);
    swap_runs(lo, b - s, s);
    s = std::min(d - c, hi - 1 - d);
    swap_runs(b, hi - s, s);
    return {lo + (b - a), hi - (d - c)};
}

// Moves sample_size records spread over the range to its front, so that the
// sample sees the whole range, not only its first records.
template <class Layout>
void Sorter<Layout>::gather_sample(i64 lo, i64 n) const {
    const i64 rest = n - sample_size;
    for (i64 k = 0; k < sample_size; ++k) swap(lo + k, lo + sample_size + k * rest / sample_size);
}

// [lo, mid) [mid, hi) becomes [mid, hi) [lo, mid), each run in its order.
template <class Layout>
void Sorter<Layout>::rotate(i64 lo, i64 mid, i64 hi) const {
    reverse(lo, mid);
    reverse(mid, hi);
    reverse(lo, hi);
}

template <class Layout>
void Sorter<Layout>::heap_sort(i64 lo, i64 n) const {
    auto sift = [&](i64 i, i64 count) {
        for (;;) {
            i64 child = 2 * i + 1;
            if (child >= count) return;
            if (child + 1 < count && compare(at(lo + child), at(lo + child + 1)) < 0) ++child;
            if (compare(at(lo + i), at(lo + child)) >= 0) return;
            swap(lo + i, lo + child);
            i = child;
        }
    };
    for (i64 i = n / 2 - 1; i >= 0; --i) sift(i, n);
    for (i64 end = n - 1; end > 0; --end) {
        swap(lo, lo + end);
        sift(0, end);
    }
}

// Sorts [lo, lo + n). prefix > 0: the first prefix records are in order;
// prefix < 0: the last -prefix records are. A sorted run of 3 or more records
// is the pivot sample: while it is at most n / 256 long it is first grown to
// 16 x its length - 1 records (sorted by this routine with it as their
// sample); then its median is the pivot, its lower half stays at the front,
// its upper half (the median first) moves to the back, and the records in
// between are partitioned. Each side keeps its half of the sample, in order,
// for the next pass. Without a sample, ranges of sample_from records or more
// sort a sample of sample_size first; smaller ones partition around a
// median of three. The smaller side recurses, the larger loops; past the
// depth budget of partitions (inputs that defeat the sampling) heapsort
// finishes.
template <class Layout>
void Sorter<Layout>::quick_core(i64 lo, i64 n, i64 prefix, int depth) const {
    for (;;) {
        if (n <= small_range) {
            insertion(lo, lo + n, lo + (prefix > 0 ? std::min(prefix, n) : 1));
            return;
        }
        if (prefix >= n || -prefix >= n) return;
        if (depth <= 0) {
            heap_sort(lo, n);
            return;
        }
        if (prefix < 0) {  // the sample to the front, in order
            const i64 s = -prefix;
            if (s <= n - s) swap_runs(lo, lo + n - s, s);
            else rotate(lo, lo + n - s, lo + n);
            prefix = s;
        }
        i64 left_prefix = 0, right_prefix = 0;
        Split split;
        i64 left_end, right_start;
        if (prefix < 3) {
            if (n >= sample_from) {
                gather_sample(lo, n);
                quick_core(lo, sample_size, 0, depth);
                prefix = sample_size;
                continue;
            }
            --depth;
            const i64 last = lo + n - 1;
            swap(median_of_three(lo, lo + n / 2, last), last);
            split = partition(lo, last, at(last));
            swap(split.greater_start, last);  // the pivot joins its equals
            left_end = split.less_end;
            right_start = split.greater_start + 1;
        } else {
            if (prefix <= n / 256 && 16 * prefix - 1 < n) {
                quick_core(lo, 16 * prefix - 1, prefix, depth);
                prefix = 16 * prefix - 1;
                continue;
            }
            --depth;
            const i64 lower = prefix / 2, upper = prefix - lower;
            const i64 unsorted = n - prefix;
            if (unsorted >= upper) swap_runs(lo + lower, lo + n - upper, upper);
            else rotate(lo + lower, lo + prefix, lo + n);
            split = partition(lo + lower, lo + n - upper, at(lo + n - upper));
            left_end = split.less_end;
            right_start = split.greater_start;
            left_prefix = lower;
            right_prefix = -upper;
        }
        const i64 left_n = left_end - lo, right_n = lo + n - right_start;
        if (left_n < right_n) {
            quick_core(lo, left_n, left_prefix, depth);
            lo = right_start;
            n = right_n;
            prefix = right_prefix;
        } else {
            quick_core(right_start, right_n, right_prefix, depth);
            n = left_n;
            prefix = left_prefix;
        }
    }
}

// The initial run sets the direction; a presortedness score from every
// score_step-th pair after it decides whether the input is mostly
// descending, in which case the whole array is reversed first. Sorted and
// reverse-sorted input end after the first scan.
template <class Layout>
void Sorter<Layout>::quick_sort(i64 n) {
    if (n < 2) return;
    if (n <= small_range) {
        insertion(0, n, 1);
        return;
    }
    i64 run = 1;
    int direction = 0;
    for (; run < n; ++run) {
        const i32 r = compare(at(run - 1), at(run));
        if (r == 0) continue;
        const int d = r < 0 ? 1 : -1;
        if (direction == 0) direction = d;
        else if (d != direction) break;
    }
    if (run == n) {
        if (direction < 0) reverse(0, n);
        return;
    }
    i64 score = direction * run;
    for (i64 i = run + score_step; i < n; i += score_step) {
        const i32 r = compare(at(i - 1), at(i));
        score += r < 0 ? 1 : r > 0 ? -1 : 0;
    }
    i64 prefix = run;
    if (score < 0 && -score > n / 512) {
        // Mostly descending: reversed, a descending initial run becomes a
        // sorted suffix.
        reverse(0, n);
        prefix = direction < 0 ? -run : 0;
    } else if (direction < 0) {
        reverse(0, run);
    }
    int depth = 8;
    for (u64 m = static_cast<u64>(n); m > 1; m >>= 1) depth += 2;
    quick_core(0, n, prefix, depth);
}

template <class F>
void with_layout(i32 size, F&& f) {
    switch (size) {
        case 1: f(Fixed<1>{}); break;
        case 2: f(Fixed<2>{}); break;
        case 4: f(Fixed<4>{}); break;
        case 16: f(Fixed<16>{}); break;
        default: f(Dynamic{static_cast<size_t>(size), size % 4 != 0}); break;
    }
}

}  // namespace

void swap(u8* a, u8* b, i32 size, bool bytewise) {
    if (!bytewise && size % 4 == 0) {
        for (i32 k = 0; k < size; k += 4) {
            u32 x, y;
            std::memcpy(&x, a + k, 4);
            std::memcpy(&y, b + k, 4);
            std::memcpy(a + k, &y, 4);
            std::memcpy(b + k, &x, 4);
        }
        return;
    }
    for (i32 k = 0; k < size; ++k) std::swap(a[k], b[k]);
}

void merge(void* base, i32 n, i32 size, const void* user1, const void* user2, Comparator cmp) {
    if (n < 2 || size < 1) return;
    with_layout(size, [&](auto layout) {
        Sorter<decltype(layout)>(static_cast<u8*>(base), layout, user1, user2, cmp).merge_sort(n);
    });
}

void quick(void* base, i32 n, i32 size, const void* user1, const void* user2, Comparator cmp) {
    if (n < 2 || size < 1) return;
    with_layout(size, [&](auto layout) {
        Sorter<decltype(layout)>(static_cast<u8*>(base), layout, user1, user2, cmp).quick_sort(n);
    });
}

i32 answer_order(const Cell& answer) {
    switch (cell::type_of(answer)) {
        case type::logic: return answer.data1 ? 1 : -1;
        case type::integer: return static_cast<i32>(answer.data2);
        case type::float_: {
            const double d = cell::get_float(answer);
            return d > 0.0 ? 1 : d < 0.0 ? -1 : 0;
        }
        case type::none: return -1;
        default: return 1;
    }
}

}  // namespace oru::sort
