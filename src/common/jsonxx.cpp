#include "common/jsonxx.h"

#include <cmath>
#include <limits>

namespace jsonxx {

namespace {

// Copying, comparing and serialising a parsed value recurse once per level of
// nesting, so a hostile answer of a few hundred kilobytes of "[" would
// overflow the stack. No GCP answer or stored item nests anywhere near this.
constexpr int kMaxNesting = 100;

// True when no container in the text opens deeper than kMaxNesting, counting
// brackets outside string literals only. Text that is not JSON may pass; the
// parser refuses it.
bool nestingWithinLimit(const std::string& text) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxNesting) {
                return false;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

detail::Json parseLimited(const std::string& text) {
    if (!nestingWithinLimit(text)) {
        return detail::Json(detail::Json::value_t::discarded);
    }
    return detail::Json::parse(text, nullptr, false);
}

}  // namespace

namespace detail {
std::string dump(const Json& v) {
    return v.dump(-1, ' ', false, Json::error_handler_t::replace);
}
}  // namespace detail

std::string escape(const std::string& text) {
    std::string quoted = detail::dump(detail::Json(text));
    return quoted.substr(1, quoted.size() - 2);
}

bool Object::parse(const std::string& text) {
    auto v = parseLimited(text);
    if (v.is_discarded() || !v.is_object()) {
        value_ = detail::Json::object();
        return false;
    }
    value_ = std::move(v);
    return true;
}

bool Array::parse(const std::string& text) {
    auto v = parseLimited(text);
    if (v.is_discarded() || !v.is_array()) {
        value_ = detail::Json::array();
        return false;
    }
    value_ = std::move(v);
    return true;
}

int32_t clampToInt32(long double v) {
    if (std::isnan(v)) {
        return 0;
    }
    if (v >= static_cast<long double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    if (v <= static_cast<long double>(std::numeric_limits<int32_t>::min())) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(v);
}

bool memberAsText(const Object& object, const std::string& name, std::string& value,
                  bool& isContainer) {
    value.clear();
    isContainer = false;
    if (object.has<String>(name)) {
        value = object.get<String>(name);
    } else if (object.has<Boolean>(name)) {
        value = object.get<Boolean>(name) ? "true" : "false";
    } else if (object.has<Number>(name)) {
        value = std::to_string(clampToInt32(object.get<Number>(name)));
    } else if (object.has<Object>(name) || object.has<Array>(name)) {
        isContainer = true;
    } else if (object.has<Null>(name)) {
        value = "null";
    } else {
        return false;
    }
    return true;
}

}  // namespace jsonxx
