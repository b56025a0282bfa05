// A small JSON object model over nlohmann::json with the semantics the plug-in
// relies on: type tests per member, typed reads that never throw, and compact
// serialisation. Parsing and serialising never raise exceptions; text that is
// not valid UTF-8 is serialised with replacement characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <type_traits>

namespace jsonxx {

using String = std::string;
using Boolean = bool;
using Number = long double;
struct Null {};
class Array;

namespace detail {
using Json = nlohmann::json;

template <typename T>
bool isA(const Json& v) {
    if constexpr (std::is_same_v<T, String>) {
        return v.is_string();
    } else if constexpr (std::is_same_v<T, Boolean>) {
        return v.is_boolean();
    } else if constexpr (std::is_same_v<T, Number>) {
        return v.is_number();
    } else if constexpr (std::is_same_v<T, Null>) {
        return v.is_null();
    } else if constexpr (std::is_same_v<T, Array>) {
        return v.is_array();
    } else {
        return v.is_object();
    }
}

std::string dump(const Json& v);
}  // namespace detail

// The text as the inside of a JSON string literal (without the quotes).
std::string escape(const std::string& text);

class Object {
  public:
    Object() : value_(detail::Json::object()) {}
    explicit Object(detail::Json v)
        : value_(v.is_object() ? std::move(v) : detail::Json::object()) {}

    // Replaces the content with the parsed text; false (and an empty object)
    // when the text is not a JSON object or nests containers more than 100
    // levels deep (the value could not be copied or serialised safely).
    bool parse(const std::string& text);

    template <typename T>
    bool has(const std::string& key) const {
        auto it = value_.find(key);
        return it != value_.end() && detail::isA<T>(*it);
    }

    // Typed read; a missing member or one of another type gives T's empty value.
    template <typename T>
    T get(const std::string& key) const;

    template <typename T>
    void set(const std::string& key, const T& v);

    bool empty() const { return value_.empty(); }
    size_t size() const { return value_.size(); }
    std::string json() const { return detail::dump(value_); }
    const detail::Json& raw() const { return value_; }
    detail::Json& raw() { return value_; }

  private:
    detail::Json value_;
};

class Array {
  public:
    Array() : value_(detail::Json::array()) {}
    explicit Array(detail::Json v) : value_(v.is_array() ? std::move(v) : detail::Json::array()) {}

    // As Object::parse, for a JSON array.
    bool parse(const std::string& text);
    size_t size() const { return value_.size(); }

    template <typename T>
    bool has(size_t i) const {
        return i < value_.size() && detail::isA<T>(value_[i]);
    }
    template <typename T>
    T get(size_t i) const;

    template <typename T>
    void append(const T& v);

    std::string json() const { return detail::dump(value_); }
    const detail::Json& raw() const { return value_; }

  private:
    detail::Json value_;
};

namespace detail {
template <typename T>
T read(const Json* v) {
    if (!v || !isA<T>(*v)) {
        return T();
    }
    if constexpr (std::is_same_v<T, String>) {
        return v->template get<std::string>();
    } else if constexpr (std::is_same_v<T, Boolean>) {
        return v->template get<bool>();
    } else if constexpr (std::is_same_v<T, Number>) {
        return v->template get<long double>();
    } else if constexpr (std::is_same_v<T, Null>) {
        return Null{};
    } else {
        return T(*v);
    }
}

template <typename T>
Json toJson(const T& v) {
    if constexpr (std::is_same_v<T, Object> || std::is_same_v<T, Array>) {
        return v.raw();
    } else if constexpr (std::is_same_v<T, Null>) {
        return Json(nullptr);
    } else {
        return Json(v);
    }
}
}  // namespace detail

template <typename T>
T Object::get(const std::string& key) const {
    auto it = value_.find(key);
    return detail::read<T>(it == value_.end() ? nullptr : &*it);
}

template <typename T>
void Object::set(const std::string& key, const T& v) {
    value_[key] = detail::toJson(v);
}

template <typename T>
T Array::get(size_t i) const {
    return detail::read<T>(i < value_.size() ? &value_[i] : nullptr);
}

template <typename T>
void Array::append(const T& v) {
    value_.push_back(detail::toJson(v));
}

// A member read as text the way GCP's answers are read: strings as they are,
// booleans as "true"/"false", numbers as 32-bit integers (fractions cut,
// out-of-range values clamped), null as "null"; false when absent. Containers
// give an empty text and isContainer.
bool memberAsText(const Object& object, const std::string& name, std::string& value,
                  bool& isContainer);
// A JSON number as a 32-bit integer, clamped instead of overflowing.
int32_t clampToInt32(long double v);

}  // namespace jsonxx
