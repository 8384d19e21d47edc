#include "security/identity.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <fstream>

#include "model/events.hpp"
#include "model/json.hpp"
#include "model/text.hpp"

namespace vigilorb::security {

namespace {

// A host name in a legacy encoding (machine-info written as Latin-1) would give a name that
// cannot be encoded, sent or shown; each undecodable byte becomes U+FFFD instead.
std::string validUTF8(std::string_view s) {
    std::string out;
    auto* p = reinterpret_cast<const utf8proc_uint8_t*>(s.data());
    auto left = static_cast<utf8proc_ssize_t>(s.size());
    while (left > 0) {
        utf8proc_int32_t cp = 0;
        auto n = utf8proc_iterate(p, left, &cp);
        if (n <= 0) {
            out += "\xEF\xBF\xBD";
            n = 1;
        } else {
            out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
        }
        p += n;
        left -= n;
    }
    return out;
}

std::optional<CompanionIdentity> decodeIdentity(const std::string& blob) {
    auto identity = json::decodeDocument(blob, [](const Json& parsed) {
        const auto& j = json::object(parsed, "CompanionIdentity");
        return CompanionIdentity{json::requireString(j, "id"), json::requireString(j, "name")};
    });
    if (!identity || identity->id.empty() || identity->name.empty()) return std::nullopt;
    return *identity;
}

std::string lowercase(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace


std::string CompanionIdentity::nameFromHost(const std::optional<std::string>& hostName) {
    std::string name = hostName ? text::trimmed(validUTF8(*hostName)) : std::string();
    if (name.empty()) name = "Mac";
    return text::graphemePrefix(name, nameLimit);
}

std::string CompanionIdentity::encode() const {
    Json j = Json::object();
    j["id"] = id;
    j["name"] = name;
    return json::dump(j);
}

CompanionIdentity CompanionIdentity::loadOrCreate(Preferences& preferences,
                                                  const std::optional<std::string>& hostName) {
    if (auto blob = preferences.string(preferenceKey))
        if (auto stored = decodeIdentity(*blob)) return *stored;
    CompanionIdentity identity{"mac-" + lowercase(makeUUID()), nameFromHost(hostName)};
    // encode() cannot fail: the name is valid UTF-8 (nameFromHost replaces what is not).
    preferences.setString(preferenceKey, identity.encode());
    return identity;
}

std::optional<std::string> hostComputerName(const std::filesystem::path& machineInfo) {
    std::ifstream in(machineInfo);
    std::string line;
    while (in && std::getline(in, line)) {
        static constexpr std::string_view prefix = "PRETTY_HOSTNAME=";
        if (!line.starts_with(prefix)) continue;
        std::string value = line.substr(prefix.size());
        // machine-info uses shell quoting; the common forms are a bare word or one quoted string.
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            std::string unquoted;
            for (std::size_t i = 1; i + 1 < value.size(); ++i) {
                if (value.front() == '"' && value[i] == '\\' && i + 2 < value.size()) ++i;
                unquoted.push_back(value[i]);
            }
            value = unquoted;
        }
        if (!text::trimmed(value).empty()) return value;
    }
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') return std::string(host);
    return std::nullopt;
}

}  // namespace vigilorb::security
