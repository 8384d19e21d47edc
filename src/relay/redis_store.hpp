#pragma once
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "relay/store.hpp"

struct redisContext;

namespace vigilorb::relay {

// Where to reach Redis: "redis://[:PASSWORD@]HOST[:PORT][/DB]" or "unix:PATH".
struct RedisAddress {
    std::string host;
    int port = 6379;
    std::string socketPath;  // set for unix:
    std::string password;
    int database = 0;
};
// Nothing for any other form.
std::optional<RedisAddress> parseRedisURL(std::string_view url);

// The shared store for several relay processes. Per channel: the bound digest, a hash of
// "sequence generatedAt updatedAt" per source and a hash of the envelopes. The whole upload
// rule (binding, sequence, source limit, write, publish) runs as one Lua script, so two
// processes can never both accept the same sequence. Every stored envelope is published on
// one Redis channel; each process relays what it receives there to its own SSE subscribers.
class RedisStore final : public Store {
public:
    // Connects (throws StoreUnavailable) and starts the subscriber thread.
    explicit RedisStore(const std::string& url, std::string keyPrefix = "vigilorb:relay:", std::size_t connections = 4);
    ~RedisStore() override;

    std::optional<Bytes> binding(std::string_view channel) override;
    PutOutcome put(const PutRequest& request) override;
    std::optional<std::string> envelope(std::string_view channel, std::string_view source,
                                        Date expiredBefore) override;
    std::vector<SourceSummary> sources(std::string_view channel, Date expiredBefore) override;
    std::vector<StoredEnvelope> envelopes(std::string_view channel, Date expiredBefore) override;
    // Redis expires a channel's keys by itself once nothing was stored there for the whole
    // maximum age; single stale sources are dropped by the next upload to their channel.
    void sweep(Date expiredBefore) override;
    void setListener(EnvelopeListener listener) override;

private:
    class Connection;
    class Lease;
    std::unique_ptr<Connection> connect() const;
    void listen();

    RedisAddress address_;
    std::string prefix_;
    std::string eventsChannel_;

    std::mutex poolMutex_;
    std::condition_variable poolAvailable_;
    std::vector<std::unique_ptr<Connection>> idle_;

    std::mutex listenerMutex_;
    EnvelopeListener listener_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> subscribed_{false};
    std::thread subscriberThread_;

public:
    // True once the subscriber connection is listening (tests wait for it).
    bool subscribed() const { return subscribed_; }
};

}  // namespace vigilorb::relay
