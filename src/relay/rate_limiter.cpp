#include "relay/rate_limiter.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace vigilorb::relay {

RateLimiter::RateLimiter(double perMinute, double burst, std::size_t maxAddresses)
    : perSecond_(perMinute / 60.0), burst_(std::max(1.0, burst)), maxAddresses_(std::max<std::size_t>(1, maxAddresses)) {}

RateLimiter::Bucket& RateLimiter::bucket(std::string_view address, double now) {
    auto it = buckets_.find(std::string(address));
    if (it == buckets_.end()) {
        if (buckets_.size() >= maxAddresses_) makeRoom(now);
        it = buckets_.emplace(std::string(address), Bucket{burst_, now}).first;
    }
    auto& b = it->second;
    if (now > b.updated) {
        b.tokens = std::min(burst_, b.tokens + (now - b.updated) * perSecond_);
        b.updated = now;
    }
    return b;
}

void RateLimiter::makeRoom(double now) {
    std::erase_if(buckets_, [&](const auto& entry) {
        const auto& b = entry.second;
        return b.tokens + (now - b.updated) * perSecond_ >= burst_;
    });
    if (buckets_.size() >= maxAddresses_) buckets_.clear();
}

bool RateLimiter::take(std::string_view address, double now) {
    if (perSecond_ <= 0) return true;
    std::lock_guard lock(mutex_);
    auto& b = bucket(address, now);
    if (b.tokens < 1) return false;
    b.tokens -= 1;
    return true;
}

bool RateLimiter::allows(std::string_view address, double now) {
    if (perSecond_ <= 0) return true;
    std::lock_guard lock(mutex_);
    return bucket(address, now).tokens >= 1;
}

std::size_t RateLimiter::trackedAddresses() const {
    std::lock_guard lock(mutex_);
    return buckets_.size();
}

std::string rateLimitKey(std::string_view address) {
    in6_addr v6{};
    std::string text(address);
    if (inet_pton(AF_INET6, text.c_str(), &v6) != 1) return text;
    // An IPv4-mapped address is the IPv4 client itself.
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(v6.s6_addr, mapped, 12) == 0) {
        char out[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, v6.s6_addr + 12, out, sizeof out);
        return out;
    }
    std::memset(v6.s6_addr + 8, 0, 8);
    char out[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, &v6, out, sizeof out);
    return std::string(out) + "/64";
}

}  // namespace vigilorb::relay
