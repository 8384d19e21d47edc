#pragma once
#include <nlohmann/json.hpp>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "model/date.hpp"

namespace vigilorb {

using Json = nlohmann::json;

// A document did not have the expected structure (missing key, wrong type, unknown raw value).
class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace json {

// Parses bytes; throws DecodingError for anything that is not one JSON value.
Json parse(std::string_view bytes);

const Json& object(const Json& j, std::string_view what = "value");
const Json& require(const Json& obj, const char* key);
// Present and not null.
const Json* optional(const Json& obj, const char* key);

std::string string(const Json& v, const char* key = "");
double number(const Json& v, const char* key = "");
long long integer(const Json& v, const char* key = "");
bool boolean(const Json& v, const char* key = "");

inline std::string requireString(const Json& obj, const char* key) { return string(require(obj, key), key); }
inline double requireNumber(const Json& obj, const char* key) { return number(require(obj, key), key); }
inline Date requireDate(const Json& obj, const char* key) { return Date::fromReference(requireNumber(obj, key)); }
std::optional<std::string> optionalString(const Json& obj, const char* key);
std::optional<double> optionalNumber(const Json& obj, const char* key);
std::optional<long long> optionalInteger(const Json& obj, const char* key);
inline std::optional<Date> optionalDate(const Json& obj, const char* key) {
    auto n = optionalNumber(obj, key);
    return n ? std::optional<Date>(Date::fromReference(*n)) : std::nullopt;
}

// Compact text of a value.
std::string dump(const Json& v);

}  // namespace json
}  // namespace vigilorb
