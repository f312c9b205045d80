// The value model: a 16-byte tagged union whose heap parts (strings, arrays,
// objects) are owned outright and copied deeply.
#include <algorithm>
#include <cstring>
#include <new>

#include "json/internal.hpp"

namespace orvan::json {

Value::StringRep* Value::StringRep::make(std::string_view text) {
    void* raw = ::operator new(sizeof(StringRep) + text.size());
    auto* rep = static_cast<StringRep*>(raw);
    rep->size = text.size();
    if (!text.empty()) std::memcpy(rep->data(), text.data(), text.size());
    return rep;
}

void Value::StringRep::free(StringRep* rep) noexcept { ::operator delete(rep); }

Value Value::boolean(bool b) noexcept {
    Value v;
    v.kind_ = Kind::Bool;
    v.b_ = b;
    return v;
}

Value Value::uint(std::uint64_t u) noexcept {
    Value v;
    v.kind_ = Kind::Uint;
    v.u_ = u;
    return v;
}

Value Value::neg_int(std::int64_t i) noexcept {
    Value v;
    v.kind_ = Kind::Int;
    v.i_ = i;
    return v;
}

Value Value::real(double d) noexcept {
    Value v;
    v.kind_ = Kind::Double;
    v.d_ = d;
    return v;
}

Value Value::string(std::string_view utf8) {
    Value v;
    v.s_ = StringRep::make(utf8);
    v.kind_ = Kind::String;
    return v;
}

Value Value::array() {
    Value v;
    v.a_ = new Array();
    v.kind_ = Kind::Array;
    return v;
}

Value Value::object() {
    Value v;
    v.o_ = new Object();
    v.kind_ = Kind::Object;
    return v;
}

Value::Value(const Value& other) : kind_(Kind::Null), u_(other.u_) {
    switch (other.kind_) {
        case Kind::String: s_ = StringRep::make(other.as_string()); break;
        case Kind::Array: a_ = new Array(*other.a_); break;
        case Kind::Object: o_ = new Object(*other.o_); break;
        default: break;
    }
    kind_ = other.kind_;
}

Value& Value::operator=(const Value& other) {
    if (this != &other) *this = Value(other);
    return *this;
}

Value& Value::operator=(Value&& other) noexcept {
    if (this != &other) {
        if (kind_ >= Kind::String) destroy();
        kind_ = other.kind_;
        u_ = other.u_;
        other.kind_ = Kind::Null;
    }
    return *this;
}

void Value::destroy() noexcept {
    switch (kind_) {
        case Kind::String: StringRep::free(s_); break;
        case Kind::Array: delete a_; break;
        case Kind::Object: delete o_; break;
        default: break;
    }
    kind_ = Kind::Null;
}

std::string_view Value::as_string() const noexcept {
    return kind_ == Kind::String ? std::string_view(s_->data(), s_->size) : std::string_view();
}

std::size_t Value::size() const noexcept {
    if (kind_ == Kind::Array) return a_->size();
    if (kind_ == Kind::Object) return o_->size();
    return 0;
}

const Value& Value::operator[](std::size_t i) const noexcept { return (*a_)[i]; }

std::span<const Value> Value::elements() const noexcept {
    if (kind_ != Kind::Array) return {};
    return {a_->data(), a_->size()};
}

void Value::push_back(Value v) { a_->push_back(std::move(v)); }

std::span<const Member> Value::members() const noexcept {
    if (kind_ != Kind::Object) return {};
    return {o_->data(), o_->size()};
}

namespace {
bool key_less(const Member& m, std::string_view key) { return std::string_view(m.key) < key; }
}  // namespace

void Value::set(std::string_view key, Value v) {
    auto it = std::lower_bound(o_->begin(), o_->end(), key, key_less);
    if (it != o_->end() && it->key == key) {
        it->value = std::move(v);
    } else {
        o_->insert(it, Member{std::string(key), std::move(v)});
    }
}

const Value* Value::find(std::string_view key) const noexcept {
    if (kind_ != Kind::Object) return nullptr;
    auto it = std::lower_bound(o_->begin(), o_->end(), key, key_less);
    return it != o_->end() && it->key == key ? &it->value : nullptr;
}

bool operator==(const Value& a, const Value& b) noexcept {
    if (a.kind_ != b.kind_) return false;
    switch (a.kind_) {
        case Value::Kind::Null: return true;
        case Value::Kind::Bool: return a.b_ == b.b_;
        case Value::Kind::Double: return std::memcmp(&a.d_, &b.d_, sizeof(double)) == 0;
        case Value::Kind::Uint:
        case Value::Kind::Int: return a.u_ == b.u_;
        case Value::Kind::String: return a.as_string() == b.as_string();
        case Value::Kind::Array: return *a.a_ == *b.a_;
        case Value::Kind::Object: {
            if (a.o_->size() != b.o_->size()) return false;
            for (std::size_t i = 0; i < a.o_->size(); ++i) {
                const Member& x = (*a.o_)[i];
                const Member& y = (*b.o_)[i];
                if (x.key != y.key || !(x.value == y.value)) return false;
            }
            return true;
        }
    }
    return false;
}

// Used by the parser: adopts an already-built element vector or member
// vector (sorted, unique keys) without copying.
Value Builder::array(std::vector<Value>&& elements) {
    Value v;
    v.a_ = new Value::Array(std::move(elements));
    v.kind_ = Value::Kind::Array;
    return v;
}

Value Builder::object(std::vector<Member>&& sorted_members) {
    Value v;
    v.o_ = new Value::Object(std::move(sorted_members));
    v.kind_ = Value::Kind::Object;
    return v;
}

}  // namespace orvan::json
