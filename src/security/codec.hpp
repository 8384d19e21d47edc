#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "model/date.hpp"
#include "model/json.hpp"
#include "security/crypto.hpp"

// Encodings shared by the phone-facing formats.
namespace vigilorb::security::codec {

using OrderedJson = nlohmann::ordered_json;

// Upper-case canonical text of a UUID given in either case; nothing for any other shape.
std::optional<std::string> canonicalUUID(std::string_view text);
std::string asciiLowercase(std::string_view s);

void appendText(Bytes& out, std::string_view text);
void appendUInt64(Bytes& out, std::uint64_t value);
// The big-endian bit pattern of the Unix-based binary64 time.
void appendUnixTime(Bytes& out, Date date);

// Reading helpers: each throws DecodingError on a wrong shape.
Bytes requireBase64(const Json& obj, const char* key);
std::string requireUUID(const Json& obj, const char* key);
long long requireInteger(const Json& obj, const char* key);

// Compact JSON text; throws DecodingError when a string holds invalid UTF-8.
std::string dumpCompact(const Json& j);
std::string dumpCompact(const OrderedJson& j);

}  // namespace vigilorb::security::codec

namespace vigilorb::security::codec {
// A date as the JSON number of seconds since 2001 (an integral value without a fraction).
OrderedJson dateNumber(Date date);
}  // namespace vigilorb::security::codec
