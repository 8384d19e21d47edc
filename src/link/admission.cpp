#include "link/admission.hpp"

#include "security/pairing.hpp"

namespace vigilorb::link {

std::string_view rawValue(Decline d) {
    switch (d) {
        case Decline::noHello: return "noHello";
        case Decline::helloTooLarge: return "helloTooLarge";
        case Decline::undecodableHello: return "undecodableHello";
        case Decline::otherCompanion: return "otherCompanion";
        case Decline::failedVerification: return "failedVerification";
        case Decline::consumedNonce: return "consumedNonce";
        case Decline::helloTimedOut: return "helloTimedOut";
        case Decline::tooManyWaiting: return "tooManyWaiting";
    }
    return "unknown";
}

std::string authenticatedText(std::string_view deviceName) {
    return "Authenticated " + std::string(deviceName) + "; reconnecting automatically\u2026";
}

ReceiverAdmission::ReceiverAdmission(std::string companionID, security::LocalPairingKey key, ConsumedNonces& nonces,
                                     Deadline helloDeadline)
    : companionID_(std::move(companionID)), key_(std::move(key)), nonces_(nonces), deadline_(helloDeadline) {}

AdmissionStep ReceiverAdmission::decline(Decline reason, std::optional<security::LocalSnapshotProtocolError> error) {
    state_ = State::closed;
    return Declined{reason, error};
}

AdmissionStep ReceiverAdmission::receive(std::string_view bytes, Date wall, Deadline monotonic) {
    if (state_ != State::awaitingHello) return {};  // admitted: read and dropped; closed: ignored
    if (monotonic >= deadline_) return decline(Decline::helloTimedOut);
    // Only the first frame is taken: what follows it is dropped unread, so a bad header behind
    // a good hello cannot decline it.
    if (!decoder_.feedUntilFrame(bytes)) return decline(Decline::helloTooLarge);
    auto frame = decoder_.next();
    if (!frame) return {};
    return judge(*frame, wall);
}

AdmissionStep ReceiverAdmission::judge(const std::string& frame, Date wall) {
    if (frame.empty()) return decline(Decline::noHello);
    auto decoded = security::PairingHello::decode(frame);
    if (!decoded) return decline(Decline::undecodableHello);
    const auto& hello = *decoded;
    if (hello.companionID != companionID_) return decline(Decline::otherCompanion);
    if (auto verified = hello.verify(key_.bytes(), wall); !verified)
        return decline(Decline::failedVerification, verified.error());
    // The decoder spells every nonce in canonical upper case, so a replay that only changes
    // the case of its hex digits (which the code does not cover) is still the same nonce.
    if (!nonces_.consume(hello.nonce)) return decline(Decline::consumedNonce);
    state_ = State::admitted;
    return Admitted{hello.deviceName, authenticatedText(hello.deviceName)};
}

AdmissionStep ReceiverAdmission::tick(Deadline monotonic) {
    if (state_ == State::awaitingHello && monotonic >= deadline_) return decline(Decline::helloTimedOut);
    return {};
}

AdmissionStep ReceiverAdmission::closed() {
    if (state_ == State::awaitingHello) return decline(Decline::noHello);
    state_ = State::closed;
    return {};
}

}  // namespace vigilorb::link
