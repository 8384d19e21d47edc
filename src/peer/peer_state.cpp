#include "peer/peer_state.hpp"

#include <sys/stat.h>

#include "model/files.hpp"
#include "model/json.hpp"

namespace vigilorb::phone {

namespace {
constexpr std::size_t stateLimit = 64 * 1024;
}

std::expected<StoredPairing, security::PairingInvitationError> StoredPairing::fromInvitation(
    const security::PairingInvitation& invitation, Date now) {
    auto key = security::LocalPairingKey::deriveFromInvitation(invitation, now);
    if (!key) return std::unexpected(key.error());
    return StoredPairing{invitation.companionID, invitation.companionName, *key, invitation.relayBaseURL};
}

std::string_view rawValue(PeerStateError e) {
    switch (e) {
        case PeerStateError::notPaired: return "notPaired";
        case PeerStateError::unreadableState: return "unreadableState";
        case PeerStateError::stateWriteFailed: return "stateWriteFailed";
    }
    return "unknown";
}

std::optional<std::filesystem::path> defaultStateFile(const paths::Environment& env) {
    auto base = paths::applicationSupport(env);
    if (!base) return std::nullopt;
    return *base / "VigilorbPeer" / "pairing.json";
}

std::expected<StoredPairing, PeerStateError> loadPairing(const std::filesystem::path& file) {
    auto text = files::read(file, stateLimit);
    if (!text)
        return std::unexpected(text.error().code == files::FileError::notFound ? PeerStateError::notPaired
                                                                                : PeerStateError::unreadableState);
    auto pairing = json::decodeDocument(*text, [](const Json& parsed) -> std::optional<StoredPairing> {
        const auto& j = json::object(parsed);
        auto keyBytes = security::crypto::fromHex(json::requireString(j, "key"));
        auto key = keyBytes ? security::LocalPairingKey::fromBytes(*keyBytes) : std::nullopt;
        auto companionID = json::requireString(j, "companionID");
        if (!key || !security::pairing_rules::isValidCompanionID(companionID)) return std::nullopt;
        StoredPairing p{companionID, std::nullopt, *key, std::nullopt};
        p.companionName = json::optionalString(j, "companionName");
        p.relayBaseURL = json::optionalString(j, "relayBaseURL");
        return p;
    });
    if (!pairing || !*pairing) return std::unexpected(PeerStateError::unreadableState);
    return std::move(**pairing);
}

std::expected<void, PeerStateError> savePairing(const std::filesystem::path& file, const StoredPairing& pairing) {
    Json j = Json::object();
    j["companionID"] = pairing.companionID;
    if (pairing.companionName) j["companionName"] = *pairing.companionName;
    j["key"] = security::crypto::hexLowercase(pairing.key.bytes());
    if (pairing.relayBaseURL) j["relayBaseURL"] = *pairing.relayBaseURL;
    auto folder = file.parent_path();
    if (!folder.empty() && !std::filesystem::exists(folder)) {
        if (!files::createFolders(folder)) return std::unexpected(PeerStateError::stateWriteFailed);
        ::chmod(folder.c_str(), 0700);
    }
    if (!files::writeAtomically(file, j.dump(), 0600)) return std::unexpected(PeerStateError::stateWriteFailed);
    return {};
}

}  // namespace vigilorb::phone
