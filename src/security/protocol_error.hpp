#pragma once
#include <string_view>

#include "model/error.hpp"

namespace vigilorb::security {

// Outcomes of the local snapshot protocol (signed envelopes and hellos). The order is part of
// the contract with the phone.
enum class LocalSnapshotProtocolError {
    invalidPairingKey,
    invalidValidityWindow,
    invalidAuthenticationCode,
    envelopeExpired,
    envelopeFromFuture,
    replayedNonce,
    incompatibleSchema,
};

// Why an invitation cannot be generated or accepted. The order is part of the contract.
enum class PairingInvitationError {
    invalidCompanionID,
    invalidCompanionName,
    invalidRelayConfiguration,
    invalidValidityWindow,
    incompatibleSchema,
    invalidInvitation,
    notYetValid,
    expired,
};

// Why a sealed cloud envelope cannot be opened (receiving side).
enum class CloudSnapshotError {
    incompatibleSchema,     // not a version-1 envelope, or not an envelope at all
    unknownKey,             // sealed under a key other than the one we hold
    invalidSealedPayload,   // shorter than nonce and tag
    authenticationFailed,   // a clear field, the ciphertext or the tag was changed
};

std::string_view rawValue(LocalSnapshotProtocolError e);
std::string_view rawValue(PairingInvitationError e);
std::string_view rawValue(CloudSnapshotError e);

}  // namespace vigilorb::security
