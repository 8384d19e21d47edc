// A sealed cloud envelope as the phone fetches it from a relay: what decodes reads back equal,
// and a payload sealed under the key opens to the same bytes.
#include "model/json.hpp"
#include "security/cloud_envelope.hpp"
#include "security/protocol_error.hpp"
#include "fuzz_support.hpp"
#include "pairing_fixture.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vigilorb;
    using namespace vigilorb::security;
    auto bytes = fuzz::text(data, size);
    auto decoded = EncryptedCloudSnapshotEnvelope::decode(bytes);
    if (!decoded) return 0;
    const auto& envelope = *decoded;
    auto encoded = fuzz::must(envelope.encode(), "a decoded envelope encodes");
    fuzz::require(EncryptedCloudSnapshotEnvelope::decode(encoded) == envelope, "an envelope reads back equal");
    auto payload = envelope.open(fuzz::pairingKey()).value_or(security::crypto::bytesOf(bytes));
    auto sealed = EncryptedCloudSnapshotEnvelope::sealPayload(payload, envelope.sourceID, envelope.sourceName,
                                                              fuzz::pairingKey(), envelope.sequence, fuzz::now);
    auto sealedJSON = fuzz::must(sealed.encode(), "a sealed envelope encodes");
    fuzz::require(EncryptedCloudSnapshotEnvelope::open(sealedJSON, fuzz::pairingKey()) == payload,
                  "a sealed payload opens to the same bytes");
    return 0;
}
