// A connection to the local link before and after its hello, fed the peer's decrypted bytes in
// pieces: it is admitted at most once, a closed connection stays closed, and nothing it sends
// after the hello changes that.
#include "link/admission.hpp"
#include "fuzz_support.hpp"
#include "pairing_fixture.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vigilorb;
    using namespace vigilorb::security;
    using namespace vigilorb::link;
    ConsumedNonces nonces;
    auto start = ReceiverAdmission::Deadline{};
    ReceiverAdmission admission(fuzz::companionID, fuzz::pairingKey(), nonces, start + helloTimeout);
    int admitted = 0;
    bool closed = false;
    auto monotonic = start;
    for (auto chunk : fuzz::chunks(fuzz::text(data, size))) {
        monotonic += std::chrono::milliseconds(chunk.size());
        auto step = admission.receive(chunk, fuzz::now, monotonic);
        if (std::holds_alternative<Admitted>(step)) ++admitted;
        if (std::holds_alternative<Declined>(step)) {
            fuzz::require(!closed, "a closed connection is declined once");
            closed = true;
        }
        if (closed) fuzz::require(admission.state() == ReceiverAdmission::State::closed, "a declined connection stays closed");
    }
    fuzz::require(admitted <= 1, "admitted at most once");
    admission.tick(start + helloTimeout);
    if (admitted == 0) fuzz::require(admission.state() == ReceiverAdmission::State::closed, "no hello by the deadline closes");
    admission.closed();
    return 0;
}
