#include "security/protocol_error.hpp"

namespace vigilorb::security {

std::string_view rawValue(LocalSnapshotProtocolError e) {
    switch (e) {
        case LocalSnapshotProtocolError::invalidPairingKey: return "invalidPairingKey";
        case LocalSnapshotProtocolError::invalidValidityWindow: return "invalidValidityWindow";
        case LocalSnapshotProtocolError::invalidAuthenticationCode: return "invalidAuthenticationCode";
        case LocalSnapshotProtocolError::envelopeExpired: return "envelopeExpired";
        case LocalSnapshotProtocolError::envelopeFromFuture: return "envelopeFromFuture";
        case LocalSnapshotProtocolError::replayedNonce: return "replayedNonce";
        case LocalSnapshotProtocolError::incompatibleSchema: return "incompatibleSchema";
    }
    return "";
}

std::string_view rawValue(PairingInvitationError e) {
    switch (e) {
        case PairingInvitationError::invalidCompanionID: return "invalidCompanionID";
        case PairingInvitationError::invalidCompanionName: return "invalidCompanionName";
        case PairingInvitationError::invalidRelayConfiguration: return "invalidRelayConfiguration";
        case PairingInvitationError::invalidValidityWindow: return "invalidValidityWindow";
        case PairingInvitationError::incompatibleSchema: return "incompatibleSchema";
        case PairingInvitationError::invalidInvitation: return "invalidInvitation";
        case PairingInvitationError::notYetValid: return "notYetValid";
        case PairingInvitationError::expired: return "expired";
    }
    return "";
}

std::string_view rawValue(CloudSnapshotError e) {
    switch (e) {
        case CloudSnapshotError::incompatibleSchema: return "incompatibleSchema";
        case CloudSnapshotError::unknownKey: return "unknownKey";
        case CloudSnapshotError::invalidSealedPayload: return "invalidSealedPayload";
        case CloudSnapshotError::authenticationFailed: return "authenticationFailed";
    }
    return "";
}

}  // namespace vigilorb::security
