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
    EncryptedCloudSnapshotEnvelope envelope;
    try {
        envelope = EncryptedCloudSnapshotEnvelope::decode(bytes);
    } catch (const DecodingError&) {
        return 0;
    }
    fuzz::require(EncryptedCloudSnapshotEnvelope::decode(envelope.encode()) == envelope, "an envelope reads back equal");
    Bytes payload;
    try {
        payload = envelope.open(fuzz::pairingKey());
    } catch (const Failure<CloudSnapshotError>&) {
        payload = security::crypto::bytesOf(bytes);
    }
    auto sealed = EncryptedCloudSnapshotEnvelope::sealPayload(payload, envelope.sourceID, envelope.sourceName,
                                                              fuzz::pairingKey(), envelope.sequence, fuzz::now);
    fuzz::require(EncryptedCloudSnapshotEnvelope::open(sealed.encode(), fuzz::pairingKey()) == payload,
                  "a sealed payload opens to the same bytes");
    return 0;
}
