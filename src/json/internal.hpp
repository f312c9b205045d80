// Shared by the JSON core's own files only: the heap layouts behind Value and
// Key, the block allocator that parsed trees live in, and Builder, the one
// door to Value's representation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "json/json.hpp"

namespace orvan::json {

static_assert(sizeof(Value) == 16 && sizeof(Key) == 16 && sizeof(Member) == 32);
static_assert(alignof(Value) == 8 && sizeof(ArrayRep) % alignof(Member) == 0);
// The parser pushes a key and its value as two Values and reads the pair as a
// Member (Builder checks that a string Value reads as a Key).
static_assert(std::is_standard_layout_v<Member>);
static_assert(offsetof(Member, key) == 0 && offsetof(Member, value) == sizeof(Value) &&
              sizeof(Member) == 2 * sizeof(Value));

// Every string's bytes are followed by at least kStringSlack readable bytes
// (heap strings are allocated with them, region chunks end with them, the
// shared empty string carries them), so the writer may load 16 bytes at a
// time without first checking how many remain.
inline constexpr std::size_t kStringSlack = 16;

// Shared empty reps: never written, never freed.
struct EmptyString {
    StringRep rep;
    char slack[kStringSlack];
};
extern const EmptyString kEmptyStringStorage;
inline const StringRep* const kEmptyString = &kEmptyStringStorage.rep;
extern ArrayRep kEmptyArray;
extern ObjectRep kEmptyObject;

// Bump allocation in growing chunks; everything is freed at once. A parse
// builds its whole tree here and hands the chunks to the root container.
struct RegionChunk {
    RegionChunk* next;
    std::size_t size;
};

class Region {
  public:
    explicit Region(std::size_t first_chunk) noexcept : next_size_(first_chunk) {}
    Region(const Region&) = delete;
    Region& operator=(const Region&) = delete;
    ~Region() { free_chunks(head_); }

    // Eight-byte aligned; throws std::bad_alloc.
    void* allocate(std::size_t bytes) {
        bytes = (bytes + 7) & ~std::size_t{7};
        if (static_cast<std::size_t>(end_ - ptr_) < bytes) grow(bytes);
        char* p = ptr_;
        ptr_ += bytes;
        return p;
    }

    // Hands all chunks to the caller, who frees them with free_chunks().
    RegionChunk* release() noexcept {
        RegionChunk* head = head_;
        head_ = nullptr;
        ptr_ = end_ = nullptr;
        return head;
    }
    static void free_chunks(RegionChunk* chunk) noexcept;

  private:
    void grow(std::size_t bytes);

    RegionChunk* head_ = nullptr;
    char* ptr_ = nullptr;
    char* end_ = nullptr;
    std::size_t next_size_;
};

class Builder {
  public:
    // Values whose heap part belongs to a region (not owned by the Value).
    static Value region_string(const StringRep* rep) noexcept {
        Value v;
        v.kind_ = Value::Kind::String;
        v.s_ = rep;
        return v;
    }
    static Value region_array(ArrayRep* rep) noexcept {
        Value v;
        v.kind_ = Value::Kind::Array;
        v.a_ = rep;
        return v;
    }
    static Value region_object(ObjectRep* rep) noexcept {
        Value v;
        v.kind_ = Value::Kind::Object;
        v.o_ = rep;
        return v;
    }
    // Marks a root container or string as owning its rep (and the region the
    // rep names, for containers).
    static void adopt(Value& v) noexcept { v.owned_ = true; }

    static const StringRep* string_rep(const Value& v) noexcept { return v.s_; }
    static const StringRep* key_rep(const Key& k) noexcept { return k.rep_; }
    static ArrayRep* array_rep(const Value& v) noexcept { return v.a_; }
    static ObjectRep* object_rep(const Value& v) noexcept { return v.o_; }

    static StringRep* new_string(std::string_view text);

  private:
    // A string Value on the parser's stack is read as the Key of a Member:
    // the fields must line up one for one.
    static void layouts_agree() noexcept {
        static_assert(std::is_standard_layout_v<Key> && std::is_standard_layout_v<Value>);
        static_assert(offsetof(Key, tag_) == offsetof(Value, kind_) &&
                      sizeof(Key::tag_) == sizeof(Value::kind_));
        static_assert(offsetof(Key, owned_) == offsetof(Value, owned_));
        static_assert(offsetof(Key, rep_) == offsetof(Value, s_) &&
                      sizeof(Key::rep_) == sizeof(Value::s_));
    }

  public:
    static ArrayRep* new_array(std::size_t capacity);
    static ObjectRep* new_object(std::size_t capacity);
};

// w x 10^q as the nearest double (ties to even) when w holds every
// significant digit. Overflow: beyond the largest finite double; a result
// below the smallest subnormal is a zero of the given sign. Undecided: rare
// inputs this fast method cannot round; the caller must use another.
enum class DecimalResult { Ok, Overflow, Undecided };
DecimalResult decimal_to_double(std::uint64_t w, long q, bool negative, double& out);

// Puts a parsed object's members in key order. Parsed members belong to the
// region, so their bytes may move freely and dropped ones need no freeing.
// Objects of one shape (the same keys in the same order, as in arrays of
// records) repeat the permutation found for the first of them instead of
// sorting again.
class MemberSorter {
  public:
    MemberSorter() = default;
    MemberSorter(const MemberSorter&) = delete;
    MemberSorter& operator=(const MemberSorter&) = delete;
    ~MemberSorter();

    // Sorts m[0..n) by key bytes; of equal keys only the last (in text
    // order) stays, as if each member had been set in turn. Returns the new
    // count. Throws std::bad_alloc.
    std::size_t sort(Member* m, std::size_t n);

  private:
    struct Shapes;
    Member* scratch(std::size_t n);
    bool sort_by_shape(Member* m, std::size_t n);

    Member* scratch_ = nullptr;
    std::size_t scratch_size_ = 0;
    Shapes* shapes_ = nullptr;
    int unsorted_seen_ = 0;
};

// Moves n Values or Members as bytes. They hold no self-references, so their
// bytes may move freely; the source slots must then be treated as raw memory.
inline void relocate(void* to, const void* from, std::size_t n, std::size_t size) noexcept {
    if (n != 0) std::memmove(to, from, n * size);
}

}  // namespace orvan::json
