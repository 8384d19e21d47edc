// The hello a receiver sends first on the local link: what decodes reads back equal, and the
// same hello signed with the key is admitted once and refused when it comes again.
#include "link/admission.hpp"
#include "link/frame_codec.hpp"
#include "model/json.hpp"
#include "security/pairing.hpp"
#include "security/protocol_error.hpp"
#include "fuzz_support.hpp"
#include "pairing_fixture.hpp"

using namespace vigilorb;
using namespace vigilorb::security;
using namespace vigilorb::link;

namespace {

AdmissionStep connect(const std::string& companion, ConsumedNonces& nonces, const std::string& frame) {
    auto start = ReceiverAdmission::Deadline{};
    ReceiverAdmission admission(companion, fuzz::pairingKey(), nonces, start + helloTimeout);
    return admission.receive(frame, fuzz::now, start);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto bytes = fuzz::text(data, size);
    auto decoded = PairingHello::decode(bytes);
    if (!decoded) return 0;
    const auto& hello = *decoded;
    fuzz::require(PairingHello::decode(fuzz::must(hello.encode(), "a decoded hello encodes")) == hello,
                  "a hello reads back equal");
    (void)hello.verify(fuzz::pairingKey().bytes(), fuzz::now);

    auto signedAgain = PairingHello::make(fuzz::pairingKey().bytes(), hello.companionID, hello.deviceName, fuzz::now,
                                          hello.nonce);
    if (!signedAgain.verify(fuzz::pairingKey().bytes(), fuzz::now)) return 0;  // fields over their limits
    ConsumedNonces nonces;
    auto frame = encodeFrame(fuzz::must(signedAgain.encode(), "a signed hello encodes"));
    auto first = connect(hello.companionID, nonces, frame);
    fuzz::require(std::holds_alternative<Admitted>(first), "a hello signed with the key is admitted");
    auto again = connect(hello.companionID, nonces, frame);
    auto* declined = std::get_if<Declined>(&again);
    fuzz::require(declined && declined->reason == Decline::consumedNonce, "a replayed hello is refused");
    return 0;
}
