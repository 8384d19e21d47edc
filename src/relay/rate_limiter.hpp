#pragma once
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vigilorb::relay {

// Token buckets keyed by client address: `burst` requests at once, refilled at `perMinute`.
// A rate of 0 turns the limit off. The table is bounded: when it is full, addresses whose
// buckets have refilled are forgotten first (they are indistinguishable from new ones), and
// if none has, the whole table is cleared rather than letting it grow. Thread-safe.
class RateLimiter {
public:
    RateLimiter(double perMinute, double burst, std::size_t maxAddresses = 65536);

    // Takes one token; false when the address has none left.
    bool take(std::string_view address, double now);
    // True when the address still has a token, without taking one.
    bool allows(std::string_view address, double now);
    std::size_t trackedAddresses() const;

private:
    struct Bucket {
        double tokens;
        double updated;
    };
    Bucket& bucket(std::string_view address, double now);
    void makeRoom(double now);

    double perSecond_;
    double burst_;
    std::size_t maxAddresses_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Bucket> buckets_;
};

// The key a client address is limited under: IPv6 addresses by their /64 network (one
// subscriber usually holds a whole /64), everything else as it is.
std::string rateLimitKey(std::string_view address);

}  // namespace vigilorb::relay
