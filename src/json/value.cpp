// The value model: a 16-byte tagged union. Containers and strings built
// through this API own their heap parts outright; those of a parsed tree live
// in a region owned by the tree's root. Copies are always deep and owned.
#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "json/internal.hpp"

namespace orvan::json {

const EmptyString kEmptyStringStorage{{0}, {}};
ArrayRep kEmptyArray{0, 0, nullptr};
ObjectRep kEmptyObject{0, 0, nullptr};

// ---- Region ---------------------------------------------------------------

void Region::grow(std::size_t bytes) {
    const std::size_t payload = std::max(bytes, next_size_);
    auto* chunk =
        static_cast<RegionChunk*>(::operator new(sizeof(RegionChunk) + payload + kStringSlack));
    chunk->next = head_;
    chunk->size = payload;
    head_ = chunk;
    ptr_ = reinterpret_cast<char*>(chunk + 1);
    end_ = ptr_ + payload;
    // Doubling keeps the number of chunks logarithmic in the tree's size.
    next_size_ = std::min<std::size_t>(payload * 2, std::size_t{64} << 20);
}

void Region::free_chunks(RegionChunk* chunk) noexcept {
    while (chunk != nullptr) {
        RegionChunk* next = chunk->next;
        ::operator delete(chunk);
        chunk = next;
    }
}

// ---- Reps -----------------------------------------------------------------

StringRep* Builder::new_string(std::string_view text) {
    auto* rep =
        static_cast<StringRep*>(::operator new(sizeof(StringRep) + text.size() + kStringSlack));
    rep->size = text.size();
    if (!text.empty()) std::memcpy(rep->data(), text.data(), text.size());
    return rep;
}

namespace {

template <class Rep>
Rep* new_rep(std::size_t capacity) {
    const std::size_t bytes = sizeof(Rep) + capacity * sizeof(typename Rep::item_type);
    auto* rep = static_cast<Rep*>(::operator new(bytes));
    rep->size = 0;
    rep->capacity = capacity;
    rep->region = nullptr;
    return rep;
}

}  // namespace

ArrayRep* Builder::new_array(std::size_t capacity) {
    return new_rep<ArrayRep>(capacity);
}

ObjectRep* Builder::new_object(std::size_t capacity) {
    return new_rep<ObjectRep>(capacity);
}

namespace {

const StringRep* copy_string(std::string_view text) {
    return text.empty() ? kEmptyString : Builder::new_string(text);
}

}  // namespace

// ---- Key ------------------------------------------------------------------

Key::Key() noexcept
    : tag_(static_cast<std::uint8_t>(Value::Kind::String)), owned_(false), rep_(kEmptyString) {}

Key::Key(std::string_view text) : Key() {
    rep_ = copy_string(text);
    owned_ = rep_ != kEmptyString;
}

Key::Key(const Key& other) : Key(other.view()) {}

Key& Key::operator=(const Key& other) {
    if (this != &other) *this = Key(other);
    return *this;
}

Key& Key::operator=(Key&& other) noexcept {
    if (this != &other) {
        if (owned_) release();
        rep_ = other.rep_;
        owned_ = other.owned_;
        other.reset();
    }
    return *this;
}

void Key::reset() noexcept {
    rep_ = kEmptyString;
    owned_ = false;
}

void Key::release() noexcept {
    ::operator delete(const_cast<StringRep*>(rep_));
}

// ---- Value: construction and ownership -------------------------------------

Value Value::string(std::string_view utf8) {
    Value v = Builder::region_string(copy_string(utf8));
    v.owned_ = v.s_ != kEmptyString;
    return v;
}

Value Value::array() noexcept {
    return Builder::region_array(&kEmptyArray);
}

Value Value::object() noexcept {
    return Builder::region_object(&kEmptyObject);
}

namespace {

// A deep, owned copy of a container's items, or the shared empty rep (not
// owned) when there are none; on failure frees what it made.
template <class Rep>
Rep* copy_rep(const Rep* from_rep, Rep* empty, Rep* (*make)(std::size_t)) {
    using Item = typename Rep::item_type;
    const std::size_t n = from_rep->size;
    if (n == 0) return empty;
    const Item* from = from_rep->items();
    Rep* rep = make(n);
    Item* to = rep->items();
    try {
        for (; rep->size < n; ++rep->size) new (to + rep->size) Item(from[rep->size]);
    } catch (...) {
        for (std::size_t i = 0; i < rep->size; ++i) to[i].~Item();
        ::operator delete(rep);
        throw;
    }
    return rep;
}

}  // namespace

Value::Value(const Value& other) : kind_(other.kind_), owned_(false), u_(other.u_) {
    switch (other.kind_) {
        case Kind::String:
            s_ = copy_string(other.as_string());
            owned_ = s_ != kEmptyString;
            break;
        case Kind::Array:
            a_ = copy_rep(other.a_, &kEmptyArray, Builder::new_array);
            owned_ = a_ != &kEmptyArray;
            break;
        case Kind::Object:
            o_ = copy_rep(other.o_, &kEmptyObject, Builder::new_object);
            owned_ = o_ != &kEmptyObject;
            break;
        default:
            break;
    }
}

Value& Value::operator=(const Value& other) {
    if (this != &other) *this = Value(other);
    return *this;
}

Value& Value::operator=(Value&& other) noexcept {
    if (this != &other) {
        if (owned_) destroy();
        kind_ = other.kind_;
        owned_ = other.owned_;
        u_ = other.u_;
        other.kind_ = Kind::Null;
        other.owned_ = false;
    }
    return *this;
}

namespace {

template <class Rep>
void free_rep(Rep* rep) noexcept {
    using Item = typename Rep::item_type;
    Item* items = rep->items();
    for (std::size_t i = 0; i < rep->size; ++i) items[i].~Item();
    RegionChunk* region = rep->region;
    ::operator delete(rep);
    Region::free_chunks(region);
}

}  // namespace

// Frees what this Value owns. Items that belong to a region skip themselves
// (they are not owned); the region goes with the root container naming it.
void Value::destroy() noexcept {
    switch (kind_) {
        case Kind::String:
            ::operator delete(const_cast<StringRep*>(s_));
            break;
        case Kind::Array:
            free_rep(a_);
            break;
        case Kind::Object:
            free_rep(o_);
            break;
        default:
            break;
    }
    kind_ = Kind::Null;
    owned_ = false;
}

// ---- Value: access ----------------------------------------------------------

namespace {

// Moves a container's items into a fresh heap rep with room for more; the
// old rep is freed only if this Value owned it (region and shared empty reps
// are not). The region, if any, stays with the root.
template <class Rep>
Rep* grow_rep(Rep* old, bool owned, Rep* (*make)(std::size_t)) {
    const std::size_t capacity = std::max<std::size_t>(4, old->capacity * 2);
    Rep* rep = make(std::max(capacity, old->size + 1));
    relocate(rep->items(), old->items(), old->size, sizeof(*old->items()));
    rep->size = old->size;
    rep->region = old->region;
    if (owned) ::operator delete(old);
    return rep;
}

}  // namespace

void Value::push_back(Value v) {
    if (a_->size == a_->capacity) {
        a_ = grow_rep(a_, owned_, Builder::new_array);
        owned_ = true;
    }
    new (a_->items() + a_->size) Value(std::move(v));
    ++a_->size;
}

namespace {

Member* lower_bound_key(Member* first, Member* last, std::string_view key) noexcept {
    return std::lower_bound(first, last, key,
                            [](const Member& m, std::string_view k) { return m.key.view() < k; });
}

}  // namespace

void Value::set(std::string_view key, Value v) {
    Member* items = o_->items();
    Member* at = lower_bound_key(items, items + o_->size, key);
    if (at != items + o_->size && at->key.view() == key) {
        at->value = std::move(v);
        return;
    }
    Key owned_key(key);  // may throw: before anything moves
    const std::size_t index = static_cast<std::size_t>(at - items);
    if (o_->size == o_->capacity) {
        o_ = grow_rep(o_, owned_, Builder::new_object);
        owned_ = true;
        items = o_->items();
    }
    relocate(items + index + 1, items + index, o_->size - index, sizeof(Member));
    new (items + index) Member{std::move(owned_key), std::move(v)};
    ++o_->size;
}

const Value* Value::find(std::string_view key) const noexcept {
    if (kind_ != Kind::Object) return nullptr;
    Member* items = o_->items();
    Member* at = lower_bound_key(items, items + o_->size, key);
    return at != items + o_->size && at->key.view() == key ? &at->value : nullptr;
}

bool operator==(const Value& a, const Value& b) noexcept {
    if (a.kind_ != b.kind_) return false;
    switch (a.kind_) {
        case Value::Kind::Null:
            return true;
        case Value::Kind::Bool:
            return a.u_ == b.u_;
        case Value::Kind::Double:
            return std::memcmp(&a.d_, &b.d_, sizeof(double)) == 0;
        case Value::Kind::Uint:
        case Value::Kind::Int:
            return a.u_ == b.u_;
        case Value::Kind::String:
            return a.as_string() == b.as_string();
        case Value::Kind::Array: {
            auto x = a.elements(), y = b.elements();
            return std::equal(x.begin(), x.end(), y.begin(), y.end());
        }
        case Value::Kind::Object: {
            auto x = a.members(), y = b.members();
            return std::equal(x.begin(), x.end(), y.begin(), y.end(),
                              [](const Member& m, const Member& n) {
                                  return m.key.view() == n.key.view() && m.value == n.value;
                              });
        }
    }
    return false;
}

}  // namespace orvan::json
