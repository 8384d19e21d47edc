#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model/date.hpp"
#include "security/crypto.hpp"

namespace vigilorb::relay {

// One envelope to keep, with what the store needs to rule on it.
struct PutRequest {
    std::string channel;
    Bytes tokenDigest;  // SHA-256 of the access token
    std::string source;
    std::uint64_t sequence = 0;
    Date generatedAt;
    std::string envelope;  // the body exactly as received
    Date now;
    Date expiredBefore;     // envelopes last updated before this are gone
    std::size_t maxSources = 64;
};

enum class PutOutcome {
    stored,
    wrongToken,     // the channel is bound to another token's digest
    staleSequence,  // not above the stored sequence of that source
    tooManySources, // a new source on a channel that already holds the limit
};

struct SourceSummary {
    std::string source;
    std::uint64_t sequence = 0;
    Date generatedAt;

    bool operator==(const SourceSummary&) const = default;
};

struct StoredEnvelope {
    std::string source;
    std::string envelope;
    std::uint64_t sequence = 0;

    bool operator==(const StoredEnvelope&) const = default;
};

// Called once for every stored envelope (possibly stored by another relay process sharing the
// store), on a thread of the store's choosing.
using EnvelopeListener = std::function<void(const std::string& channel, const StoredEnvelope& stored)>;

class StoreUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where envelopes, sequences and channel bindings live. A channel is bound to the digest of the
// token of its first stored envelope. Every call may throw StoreUnavailable.
class Store {
public:
    virtual ~Store() = default;

    // The digest the channel is bound to; nothing for an unknown channel.
    virtual std::optional<Bytes> binding(std::string_view channel) = 0;
    // Atomic: binding check (constant time), sequence check, source limit, write, notify.
    virtual PutOutcome put(const PutRequest& request) = 0;
    virtual std::optional<std::string> envelope(std::string_view channel, std::string_view source,
                                                Date expiredBefore) = 0;
    // Sources in order of their IDs.
    virtual std::vector<SourceSummary> sources(std::string_view channel, Date expiredBefore) = 0;
    // Latest envelopes of a channel, in order of their source IDs.
    virtual std::vector<StoredEnvelope> envelopes(std::string_view channel, Date expiredBefore) = 0;
    // Deletes expired envelopes, and the bindings of channels left without any.
    virtual void sweep(Date expiredBefore) = 0;
    virtual void setListener(EnvelopeListener listener) = 0;
};

}  // namespace vigilorb::relay
