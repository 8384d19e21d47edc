#pragma once
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/date.hpp"
#include "relay/rate_limiter.hpp"
#include "relay/store.hpp"

namespace vigilorb::relay {

struct Request {
    std::string method;
    std::string path;  // without the query
    std::optional<std::string> authorization;
    std::optional<std::string> contentType;
    std::string body;
    bool bodyTooLarge = false;  // the shell stopped reading past the limit
    std::string clientAddress;
};

struct Response {
    int status = 500;
    std::string body;
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
    // Set for an authorised events request: the shell turns the connection into a stream of
    // this channel's envelopes.
    std::optional<std::string> subscribeChannel;
};

struct ServiceSettings {
    double maxAgeSeconds = 30 * 24 * 3600.0;  // envelopes not updated for this long expire
    double putsPerMinute = 120;
    double putBurst = 60;
    double authFailuresPerMinute = 10;
    double authFailureBurst = 20;
};

// The relay's rules, independent of any HTTP library: one request in, one response out. The
// clock is injected so expiry and rate limits can be driven by tests.
class RelayService {
public:
    RelayService(Store& store, ServiceSettings settings, std::function<Date()> clock = Date::now);

    Response handle(const Request& request);
    // Removes what has expired; the shell calls it now and then.
    void sweep();

    const ServiceSettings& settings() const { return settings_; }

private:
    Response refuseAuthentication(const Request& request, Date now);
    Response put(const Request& request, const struct Route& route, const Bytes& digest, Date now);

    Store& store_;
    ServiceSettings settings_;
    std::function<Date()> clock_;
    RateLimiter puts_;
    RateLimiter authFailures_;
};

}  // namespace vigilorb::relay
