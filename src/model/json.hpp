#pragma once
#include <nlohmann/json.hpp>

#include <expected>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "model/date.hpp"
#include "model/error.hpp"

namespace vigilorb {

using Json = nlohmann::json;

// A document did not have the expected structure (missing key, wrong type, unknown raw value).
// Thrown only inside decoders: nlohmann's from_json cannot return a value, so the accessors
// below throw this, and json::decode()/json::decoded() turn it into a returned DocumentFailure
// at the decoder's edge. No decoder lets it escape to its caller.
class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace json {

// Why a document was refused; the detail is the decoder's message (it may end up in a log or
// a status line, so its wording is kept stable).
enum class DocumentError { invalidJSON, invalidShape };
using DocumentFailure = Error<DocumentError>;

// Exactly one JSON value, with nothing but whitespace around it, or invalidJSON ("The given
// data was not valid JSON: ..."). `filter` is nlohmann's parser callback: it may drop values
// while they are parsed (see the Claude hook parser), so they are never held in memory.
[[nodiscard]] std::expected<Json, DocumentFailure> parse(std::string_view bytes,
                                                        const Json::parser_callback_t& filter = nullptr);

// Runs a decoder written with the throwing accessors below and returns what it made, or
// invalidShape with the decoder's message.
template <class Decode>
[[nodiscard]] auto decoded(Decode&& decode) -> std::expected<std::invoke_result_t<Decode>, DocumentFailure> {
    try {
        return std::forward<Decode>(decode)();
    } catch (const DecodingError& e) {
        return std::unexpected(DocumentFailure{DocumentError::invalidShape, e.what()});
    } catch (const nlohmann::json::exception& e) {
        return std::unexpected(DocumentFailure{DocumentError::invalidShape, e.what()});
    }
}

// One document parsed, then decoded by `decode(const Json&)`, written with the throwing
// accessors below: invalidJSON or invalidShape as parse() and decoded() say.
template <class Decode>
[[nodiscard]] auto decodeDocument(std::string_view bytes, Decode&& decode)
    -> std::expected<std::invoke_result_t<Decode, const Json&>, DocumentFailure> {
    auto j = parse(bytes);
    if (!j) return std::unexpected(std::move(j.error()));
    return decoded([&] { return std::forward<Decode>(decode)(std::as_const(*j)); });
}

// One document decoded through T's from_json.
template <class T>
[[nodiscard]] std::expected<T, DocumentFailure> decode(std::string_view bytes) {
    return decodeDocument(bytes, [](const Json& j) { return j.template get<T>(); });
}

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
