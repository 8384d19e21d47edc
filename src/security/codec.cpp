#include "security/codec.hpp"

#include "model/records.hpp"

#include <bit>
#include <cctype>

namespace vigilorb::security::codec {

std::optional<std::string> canonicalUUID(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    std::string out(text);
    for (std::size_t i = 0; i < out.size(); ++i) {
        bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (hyphen ? c != '-' : !std::isxdigit(c)) return std::nullopt;
        out[i] = static_cast<char>(std::toupper(c));
    }
    return out;
}

std::string asciiLowercase(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

void appendText(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

void appendUInt64(Bytes& out, std::uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void appendUnixTime(Bytes& out, Date date) { appendUInt64(out, std::bit_cast<std::uint64_t>(date.unix())); }

Bytes requireBase64(const Json& obj, const char* key) {
    auto decoded = crypto::base64Decode(json::requireString(obj, key));
    if (!decoded) throw DecodingError(std::string("Invalid Base64 for key \"") + key + "\"");
    return *decoded;
}

std::string requireUUID(const Json& obj, const char* key) {
    auto uuid = canonicalUUID(json::requireString(obj, key));
    if (!uuid) throw DecodingError(std::string("Invalid UUID for key \"") + key + "\"");
    return *uuid;
}

long long requireInteger(const Json& obj, const char* key) { return json::integer(json::require(obj, key), key); }

namespace {
// nlohmann reports invalid UTF-8 only by throwing; this is the one place that catches it.
template <class J>
std::expected<std::string, EncodeFailure> dumped(const J& j) {
    try {
        return j.dump();
    } catch (const typename J::exception& e) {
        return std::unexpected(EncodeFailure{EncodeError::invalidText, std::string("Cannot encode: ") + e.what()});
    }
}
}  // namespace

std::expected<std::string, EncodeFailure> dumpCompact(const Json& j) { return dumped(j); }
std::expected<std::string, EncodeFailure> dumpCompact(const OrderedJson& j) { return dumped(j); }

}  // namespace vigilorb::security::codec

namespace vigilorb::security::codec {
OrderedJson dateNumber(Date date) {
    auto j = dateToJson(date);
    if (j.is_number_integer()) return OrderedJson(j.get<long long>());
    return OrderedJson(j.get<double>());
}
}  // namespace vigilorb::security::codec
