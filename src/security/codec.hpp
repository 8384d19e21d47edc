#pragma once
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "model/date.hpp"
#include "model/error.hpp"
#include "model/json.hpp"
#include "security/crypto.hpp"

// Encodings shared by the phone-facing formats.
namespace vigilorb::security::codec {

using OrderedJson = nlohmann::ordered_json;

// Why a document could not be written: a string in it is not valid UTF-8 (JSON cannot carry
// it, and replacing bytes would change what is signed). The detail is the encoder's message.
enum class EncodeError { invalidText };
using EncodeFailure = Error<EncodeError>;

// Upper-case canonical text of a UUID given in either case; nothing for any other shape.
std::optional<std::string> canonicalUUID(std::string_view text);
std::string asciiLowercase(std::string_view s);

void appendText(Bytes& out, std::string_view text);
void appendUInt64(Bytes& out, std::uint64_t value);
// The big-endian bit pattern of the Unix-based binary64 time.
void appendUnixTime(Bytes& out, Date date);

// Reading helpers for decoders run through json::decoded(): each throws DecodingError on a
// wrong shape, which the decoder's edge returns as invalidShape.
Bytes requireBase64(const Json& obj, const char* key);
std::string requireUUID(const Json& obj, const char* key);
long long requireInteger(const Json& obj, const char* key);

// Compact JSON text; invalidText when a string holds invalid UTF-8.
[[nodiscard]] std::expected<std::string, EncodeFailure> dumpCompact(const Json& j);
[[nodiscard]] std::expected<std::string, EncodeFailure> dumpCompact(const OrderedJson& j);

}  // namespace vigilorb::security::codec

namespace vigilorb::security::codec {
// A date as the JSON number of seconds since 2001 (an integral value without a fraction).
OrderedJson dateNumber(Date date);
}  // namespace vigilorb::security::codec
