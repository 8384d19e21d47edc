#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "security/pairing_key.hpp"

namespace vigilorb::phone {

// What `vigilorb-peer fetch` needs to reach and open the companion's envelopes.
struct FetchOptions {
    std::string relayURL;  // the relay's base URL (https, or http on loopback)
    std::string companionID;
    security::LocalPairingKey key;
    bool watch = false;
    // Where the last sequence seen is kept between runs (optional).
    std::optional<std::filesystem::path> sequenceFile;
};

// The receiving side's rule: sequence never goes backwards, so an envelope whose sequence is
// not above the last one seen is ignored.
class SequenceGuard {
public:
    explicit SequenceGuard(std::optional<std::uint64_t> last = std::nullopt) : last_(last) {}
    // True (and remembered) when the sequence is above the last one seen.
    bool accept(std::uint64_t sequence) {
        if (last_ && sequence <= *last_) return false;
        last_ = sequence;
        return true;
    }
    std::optional<std::uint64_t> last() const { return last_; }

private:
    std::optional<std::uint64_t> last_;
};

// GET the newest envelope, open it and print the payload as one line; with `watch`, follow the
// relay's event stream and print each newer payload as one line until interrupted. Returns
// the exit status; a refusal prints its name on standard error (unauthorized, notFound,
// relayUnavailable, staleSequence, invalidRelayAddress, or the opening error).
int fetch(const FetchOptions& options);

}  // namespace vigilorb::phone
