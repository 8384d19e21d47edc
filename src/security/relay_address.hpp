#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace vigilorb::security {

// The parts of an absolute URL (RFC 3986) that the relay rules look at.
struct URLParts {
    std::string scheme;
    bool hasUserInfo = false;
    std::string host;
    std::string path;
    bool hasQuery = false;
    bool hasFragment = false;
};

// Nothing when the text is not an absolute URL made only of URL characters.
std::optional<URLParts> parseURL(std::string_view text);

// Empty after trimming is valid (no relay). Otherwise an https URL (scheme in any case) with a
// host and without user, password, query or fragment.
bool isValidRelayAddress(std::string_view text);

}  // namespace vigilorb::security
