#include "model/json.hpp"

#include <cmath>

namespace vigilorb::json {

namespace {
[[noreturn]] void fail(std::string_view what, const char* key) {
    std::string msg(what);
    if (key && *key) msg += std::string(" for key \"") + key + "\"";
    throw DecodingError(msg);
}
}  // namespace

std::expected<Json, DocumentFailure> parse(std::string_view bytes, const Json::parser_callback_t& filter) {
    const auto invalid = [](std::string why) {
        return std::unexpected(DocumentFailure{DocumentError::invalidJSON, "The given data was not valid JSON: " + why});
    };
    // nlohmann's lexer takes a NUL byte for the end of the input (for C strings), whatever the
    // input adapter, so `{...}\0garbage` would parse as the document before the NUL. JSON has
    // no place for a raw NUL (inside a string it must be escaped), so any NUL means the bytes
    // are not one JSON document.
    if (bytes.find('\0') != std::string_view::npos) return invalid("a NUL byte in the input");
    try {
        return Json::parse(bytes.begin(), bytes.end(), filter);
    } catch (const Json::exception& e) {
        return invalid(e.what());
    }
}

const Json& object(const Json& j, std::string_view what) {
    if (!j.is_object()) throw DecodingError("Expected an object for " + std::string(what));
    return j;
}

const Json& require(const Json& obj, const char* key) {
    if (!obj.is_object()) fail("Expected an object", key);
    auto it = obj.find(key);
    if (it == obj.end()) fail("No value associated with key", key);
    return *it;
}

const Json* optional(const Json& obj, const char* key) {
    if (!obj.is_object()) fail("Expected an object", key);
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return nullptr;
    return &*it;
}

std::string string(const Json& v, const char* key) {
    if (!v.is_string()) fail("Expected a string", key);
    return v.get<std::string>();
}

double number(const Json& v, const char* key) {
    if (!v.is_number()) fail("Expected a number", key);
    return v.get<double>();
}

long long integer(const Json& v, const char* key) {
    if (v.is_number_integer()) return v.get<long long>();
    if (v.is_number_float()) {
        double d = v.get<double>();
        // A float that holds an exact integer is accepted, as Foundation's decoder does.
        if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9.2e18) return static_cast<long long>(d);
    }
    fail("Expected an integer", key);
}

bool boolean(const Json& v, const char* key) {
    if (!v.is_boolean()) fail("Expected a boolean", key);
    return v.get<bool>();
}

std::optional<std::string> optionalString(const Json& obj, const char* key) {
    auto* v = optional(obj, key);
    return v ? std::optional<std::string>(string(*v, key)) : std::nullopt;
}

std::optional<double> optionalNumber(const Json& obj, const char* key) {
    auto* v = optional(obj, key);
    return v ? std::optional<double>(number(*v, key)) : std::nullopt;
}

std::optional<long long> optionalInteger(const Json& obj, const char* key) {
    auto* v = optional(obj, key);
    return v ? std::optional<long long>(integer(*v, key)) : std::nullopt;
}

std::string dump(const Json& v) {
    // Replace invalid UTF-8 rather than throw: no caller should fail on a stray byte in a title.
    return v.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace vigilorb::json
