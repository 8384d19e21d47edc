#include "security/relay_address.hpp"

#include <cctype>

#include "model/text.hpp"
#include "security/codec.hpp"
#include "security/identity.hpp"

namespace vigilorb::security {

namespace {

bool isURLCharacter(unsigned char c) {
    if (std::isalnum(c)) return true;
    static constexpr std::string_view allowed = "-._~:/?#[]@!$&'()*+,;=%";
    return allowed.find(static_cast<char>(c)) != std::string_view::npos;
}

bool validPercentEscapes(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') continue;
        if (i + 2 >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(s[i + 2])))
            return false;
        i += 2;
    }
    return true;
}

}  // namespace

std::optional<URLParts> parseURL(std::string_view text) {
    for (unsigned char c : text)
        if (!isURLCharacter(c)) return std::nullopt;
    if (!validPercentEscapes(text)) return std::nullopt;
    auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(text[0])))
        return std::nullopt;
    URLParts url;
    url.scheme = text.substr(0, colon);
    for (unsigned char c : url.scheme)
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
    std::string_view rest = text.substr(colon + 1);
    if (auto hash = rest.find('#'); hash != std::string_view::npos) {
        url.hasFragment = true;
        rest = rest.substr(0, hash);
    }
    if (auto question = rest.find('?'); question != std::string_view::npos) {
        url.hasQuery = true;
        rest = rest.substr(0, question);
    }
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        auto slash = rest.find('/');
        std::string_view authority = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
        if (auto at = authority.rfind('@'); at != std::string_view::npos) {
            url.hasUserInfo = true;
            authority = authority.substr(at + 1);
        }
        std::string_view host = authority;
        if (host.starts_with("[")) {
            auto close = host.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            std::string_view after = host.substr(close + 1);
            if (!after.empty() && !after.starts_with(":")) return std::nullopt;
            host = host.substr(0, close + 1);
        } else if (auto portColon = host.find(':'); portColon != std::string_view::npos) {
            for (unsigned char c : host.substr(portColon + 1))
                if (!std::isdigit(c)) return std::nullopt;
            host = host.substr(0, portColon);
        }
        if (host.find_first_of("[]") != std::string_view::npos && !host.starts_with("[")) return std::nullopt;
        url.host = host;
    }
    url.path = rest;
    return url;
}

bool isValidRelayAddress(std::string_view text) {
    auto trimmed = text::trimmed(text);
    if (trimmed.empty()) return true;
    auto url = parseURL(trimmed);
    return url && codec::asciiLowercase(url->scheme) == "https" && !url->host.empty() && !url->hasUserInfo &&
           !url->hasQuery && !url->hasFragment;
}

}  // namespace vigilorb::security
