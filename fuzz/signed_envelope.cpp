// A signed snapshot envelope as the phone receives it over the local link, and the payload in
// it: what decodes reads back equal, an accepted envelope is refused the second time, and the
// same holds for the payload signed afresh under the fuzz pairing.
#include "model/json.hpp"
#include "security/protocol_error.hpp"
#include "security/snapshot_envelope.hpp"
#include "fuzz_support.hpp"
#include "pairing_fixture.hpp"

using namespace vigilorb;
using namespace vigilorb::security;

namespace {

// The payload when the receiver accepts the envelope, nothing when it refuses it.
std::optional<Bytes> receive(std::string_view json, SnapshotNonceReplayGuard& guard,
                             std::optional<LocalSnapshotProtocolError>* refusal = nullptr) {
    auto payload = SignedEnvelopeReceiver::check(json, fuzz::pairingKey(), fuzz::now, guard);
    if (payload) return std::move(*payload);
    if (refusal) *refusal = payload.error();
    return std::nullopt;
}

void requireOnce(std::string_view json, SnapshotNonceReplayGuard& guard) {
    if (!receive(json, guard)) return;
    std::optional<LocalSnapshotProtocolError> refusal;
    fuzz::require(!receive(json, guard, &refusal), "a replayed envelope is refused");
    fuzz::require(refusal == LocalSnapshotProtocolError::replayedNonce, "a replayed envelope is refused as replayed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto bytes = fuzz::text(data, size);
    SnapshotNonceReplayGuard guard;
    requireOnce(bytes, guard);

    auto decoded = SignedSnapshotEnvelope::decode(bytes);
    if (!decoded) return 0;
    const auto& envelope = *decoded;
    fuzz::require(SignedSnapshotEnvelope::decode(fuzz::must(envelope.encode(), "a decoded envelope encodes")) == envelope,
                  "an envelope reads back equal");

    auto signedAgain = SignedSnapshotEnvelope::sign(envelope.payload, fuzz::pairingKey(), fuzz::now, envelope.nonce);
    SnapshotNonceReplayGuard fresh;
    auto json = fuzz::must(signedAgain.encode(), "a signed envelope encodes");
    fuzz::require(receive(json, fresh).has_value(), "an envelope signed with the key is accepted");
    requireOnce(json, fresh);

    if (auto payload = DeviceSnapshotPayload::decode(security::crypto::stringOf(envelope.payload)))
        fuzz::require(DeviceSnapshotPayload::decode(fuzz::must(payload->encode(), "a decoded payload encodes")) == *payload,
                      "a payload reads back equal");
    return 0;
}
