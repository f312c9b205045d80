// Ordering a parsed object's members by key (see MemberSorter).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "json/internal.hpp"
#include "json/scan.hpp"

namespace orvan::json {
namespace {

// Byte order of two keys, as memcmp-then-length would give it, without the
// library call: keys are short and compared often.
inline int compare_keys(const Member& a, const Member& b) noexcept {
    const std::string_view x = a.key.view(), y = b.key.view();
    const std::size_t n = std::min(x.size(), y.size());
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const std::uint64_t u = scan::load8_ordered(x.data() + i);
        const std::uint64_t v = scan::load8_ordered(y.data() + i);
        if (u != v) return u < v ? -1 : 1;
    }
    for (; i < n; ++i) {
        if (x[i] != y[i])
            return static_cast<unsigned char>(x[i]) < static_cast<unsigned char>(y[i]) ? -1 : 1;
    }
    return x.size() < y.size() ? -1 : x.size() > y.size() ? 1 : 0;
}

inline bool same_key(const StringRep* a, const StringRep* b) noexcept {
    return a->size == b->size && std::memcmp(a->data(), b->data(), a->size) == 0;
}

// Stable sorts over items moved as bytes: Members themselves, or the indices
// of Members. `cmp(a, b)` orders two items. Both report whether two items
// compared equal; any two equal items are compared at some point (insertion
// stops at the last item not greater; a merge meets every equal pair across
// its halves, or finds the halves already in order with the pair adjacent).
template <class T, class Cmp>
void insertion_sort(T* a, std::size_t n, Cmp cmp, bool& equal) {
    alignas(T) unsigned char held[sizeof(T)];
    const T& h = *reinterpret_cast<const T*>(held);
    for (std::size_t i = 1; i < n; ++i) {
        int c = cmp(a[i - 1], a[i]);
        if (c < 0) continue;
        relocate(held, a + i, 1, sizeof(T));
        std::size_t j = i;
        while (c > 0) {
            relocate(a + j, a + j - 1, 1, sizeof(T));
            if (--j == 0) break;
            c = cmp(a[j - 1], h);
        }
        equal |= c == 0;
        relocate(a + j, held, 1, sizeof(T));
    }
}

template <class T, class Cmp>
void merge_sort(T* a, std::size_t n, T* tmp, Cmp cmp, bool& equal) {
    if (n <= 16) return insertion_sort(a, n, cmp, equal);
    const std::size_t h = n / 2;
    merge_sort(a, h, tmp, cmp, equal);
    merge_sort(a + h, n - h, tmp, cmp, equal);
    const int c = cmp(a[h - 1], a[h]);
    if (c <= 0) {  // the halves are already in order
        equal |= c == 0;
        return;
    }
    relocate(tmp, a, h, sizeof(T));
    std::size_t i = 0, j = h, k = 0;
    while (i < h && j < n) {
        const int d = cmp(tmp[i], a[j]);
        equal |= d == 0;
        relocate(a + k++, d <= 0 ? tmp + i++ : a + j++, 1, sizeof(T));
    }
    relocate(a + k, tmp + i, h - i, sizeof(T));
}

// Drops all but the last of each run of equal keys in sorted members.
std::size_t drop_duplicates(Member* m, std::size_t n) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 1 < n && compare_keys(m[i + 1], m[i]) == 0) continue;
        if (kept != i) relocate(m + kept, m + i, 1, sizeof(Member));
        ++kept;
    }
    return kept;
}

}  // namespace

// Recently seen shapes, direct-mapped by member count and first key. The
// keys point into the region of the parse in progress, which outlives us.
struct MemberSorter::Shapes {
    static constexpr std::size_t kSlots = 16;
    static constexpr std::size_t kMaxMembers = 64;
    static constexpr std::size_t kMinMembers = 4;  // below this sorting is as cheap
    struct Shape {
        std::size_t n = 0;
        const StringRep* keys[kMaxMembers];  // in text order
        std::uint8_t order[kMaxMembers];     // text index of each sorted position
    };
    Shape slots[kSlots];

    static std::size_t slot(const Member* m, std::size_t n) {
        const std::string_view first = m[0].key.view();
        const unsigned char c = first.empty() ? 0 : static_cast<unsigned char>(first[0]);
        return (n * 7 + first.size() * 3 + c) % kSlots;
    }
};

MemberSorter::~MemberSorter() {
    ::operator delete(scratch_);
    delete shapes_;
}

Member* MemberSorter::scratch(std::size_t n) {
    if (scratch_size_ < n) {
        const std::size_t size = std::max<std::size_t>(n, 2 * scratch_size_);
        void* fresh = ::operator new(size * sizeof(Member));
        ::operator delete(scratch_);
        scratch_ = static_cast<Member*>(fresh);
        scratch_size_ = size;
    }
    return scratch_;
}

// For unsorted objects of a size worth it: reuse or record the permutation of
// this shape. False if the object has duplicate keys (left to the general path).
bool MemberSorter::sort_by_shape(Member* m, std::size_t n) {
    Shapes::Shape& shape = shapes_->slots[Shapes::slot(m, n)];
    bool hit = shape.n == n;
    for (std::size_t i = 0; hit && i < n; ++i)
        hit = same_key(Builder::key_rep(m[i].key), shape.keys[i]);
    if (!hit) {
        std::uint8_t order[Shapes::kMaxMembers], tmp[Shapes::kMaxMembers];
        for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint8_t>(i);
        bool equal = false;
        merge_sort(
            order, n, tmp, [m](std::uint8_t a, std::uint8_t b) { return compare_keys(m[a], m[b]); },
            equal);
        if (equal) {
            shape.n = 0;
            return false;
        }
        shape.n = n;
        for (std::size_t i = 0; i < n; ++i) shape.keys[i] = Builder::key_rep(m[i].key);
        std::memcpy(shape.order, order, n);
    }
    Member* held = scratch(n);
    relocate(held, m, n, sizeof(Member));
    for (std::size_t i = 0; i < n; ++i) relocate(m + i, held + shape.order[i], 1, sizeof(Member));
    return true;
}

std::size_t MemberSorter::sort(Member* m, std::size_t n) {
    // Already in order (as our own output is): one pass.
    std::size_t i = 1;
    while (i < n && compare_keys(m[i - 1], m[i]) < 0) ++i;
    if (i >= n) return n;

    if (n >= Shapes::kMinMembers && n <= Shapes::kMaxMembers) {
        // The first few unsorted objects of a text do not pay for the cache.
        if (shapes_ == nullptr && ++unsorted_seen_ > 2) shapes_ = new Shapes;
        if (shapes_ != nullptr && sort_by_shape(m, n)) return n;
    }
    bool equal = false;
    if (n <= 16) {
        insertion_sort(m, n, compare_keys, equal);
    } else {
        merge_sort(m, n, scratch(n / 2 + 1), compare_keys, equal);
    }
    return equal ? drop_duplicates(m, n) : n;
}

}  // namespace orvan::json
