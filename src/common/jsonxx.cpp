#include "common/jsonxx.h"

namespace jsonxx {

namespace detail {
std::string dump(const Json& v) { return v.dump(-1, ' ', false, Json::error_handler_t::replace); }
}  // namespace detail

std::string escape(const std::string& text) {
    std::string quoted = detail::dump(detail::Json(text));
    return quoted.substr(1, quoted.size() - 2);
}

bool Object::parse(const std::string& text) {
    auto v = detail::Json::parse(text, nullptr, false);
    if (v.is_discarded() || !v.is_object()) {
        value_ = detail::Json::object();
        return false;
    }
    value_ = std::move(v);
    return true;
}

bool Array::parse(const std::string& text) {
    auto v = detail::Json::parse(text, nullptr, false);
    if (v.is_discarded() || !v.is_array()) {
        value_ = detail::Json::array();
        return false;
    }
    value_ = std::move(v);
    return true;
}

}  // namespace jsonxx
