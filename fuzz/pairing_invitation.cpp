// The pairing invitation, as the phone (vigilorb-peer pair) reads it from the QR code: what
// decodes must encode and read back equal, and a valid one must give a key.
#include "model/json.hpp"
#include "security/pairing.hpp"
#include "security/pairing_key.hpp"
#include "security/protocol_error.hpp"
#include "security/relay_address.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vigilorb;
    using namespace vigilorb::security;
    auto bytes = fuzz::text(data, size);
    isValidRelayAddress(bytes);
    auto decoded = PairingInvitation::decode(bytes);
    if (!decoded) return 0;
    const auto& invitation = *decoded;
    fuzz::require(PairingInvitation::decode(fuzz::must(invitation.qrPayload(), "a decoded invitation encodes")) == invitation,
                  "an invitation reads back equal");
    invitation.description();
    if (!invitation.validate(fuzz::now)) return 0;
    fuzz::require(invitation.verificationCode().size() == 6, "a verification code has six digits");
    auto key = fuzz::must(LocalPairingKey::deriveFromInvitation(invitation, fuzz::now), "a valid invitation gives a key");
    fuzz::require(key.keyIdentifier().size() == 16, "a derived key has a 16-digit identifier");
    return 0;
}
