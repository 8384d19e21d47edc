#pragma once
#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>

#include "link/frame_codec.hpp"
#include "link/link_contract.hpp"
#include "model/date.hpp"
#include "security/pairing_key.hpp"
#include "security/protocol_error.hpp"

namespace vigilorb::link {

// Hello nonces already accepted under one key. It lives as long as that key is active, so a
// hello is admitted at most once for the key's whole life.
class ConsumedNonces {
public:
    // Records the nonce; false when it was recorded before.
    bool consume(const std::string& nonce) { return nonces_.insert(nonce).second; }
    std::size_t size() const { return nonces_.size(); }

private:
    std::set<std::string> nonces_;
};

// Why a connection is closed without a word. None of these ever changes the status text.
enum class Decline {
    noHello,             // the peer left, or sent an empty frame, before any hello
    helloTooLarge,       // a first frame announced above maxHelloFrame
    undecodableHello,    // the first frame is not a hello document
    otherCompanion,      // a hello for another companion ID
    failedVerification,  // the hello's own check failed (see verifyError)
    consumedNonce,       // the hello was admitted once already
    helloTimedOut,       // no complete hello within the deadline
    tooManyWaiting,      // closed on accept: maxWaitingConnections already wait for a hello
};

std::string_view rawValue(Decline d);

struct Admitted {
    std::string deviceName;
    std::string statusText;  // "Authenticated <device>; reconnecting automatically…"
};

struct Declined {
    Decline reason;
    std::optional<security::LocalSnapshotProtocolError> verifyError;  // with failedVerification
};

// What an event did: nothing that concerns the caller, admission, or a silent close.
using AdmissionStep = std::variant<std::monostate, Admitted, Declined>;

// One incoming connection from its acceptance to its end, as a plain state machine. The caller
// feeds it the decrypted bytes and the clocks; it answers when to admit and when to close.
// The first frame must be a hello: for this companion, verified with the key at the wall-clock
// time, with an unused nonce. Bytes after the hello are read and dropped, never acted on.
class ReceiverAdmission {
public:
    using Deadline = std::chrono::steady_clock::time_point;
    enum class State { awaitingHello, admitted, closed };

    ReceiverAdmission(std::string companionID, security::LocalPairingKey key, ConsumedNonces& nonces, Deadline helloDeadline);

    // Decrypted bytes from the peer. `wall` is the time the hello is checked against;
    // `monotonic` tells whether the deadline has passed.
    AdmissionStep receive(std::string_view bytes, Date wall, Deadline monotonic);
    // The deadline timer fired (or any moment the caller checks): declines a connection still
    // waiting for its hello once `monotonic` has reached the deadline.
    AdmissionStep tick(Deadline monotonic);
    // The peer closed or the transport failed.
    AdmissionStep closed();

    State state() const { return state_; }
    Deadline helloDeadline() const { return deadline_; }

private:
    std::string companionID_;
    security::LocalPairingKey key_;
    ConsumedNonces& nonces_;
    Deadline deadline_;
    FrameDecoder decoder_{maxHelloFrame};
    State state_ = State::awaitingHello;

    AdmissionStep decline(Decline reason, std::optional<security::LocalSnapshotProtocolError> error = std::nullopt);
    AdmissionStep judge(const std::string& frame, Date wall);
};

// "Authenticated " + deviceName + "; reconnecting automatically…"
std::string authenticatedText(std::string_view deviceName);

}  // namespace vigilorb::link
