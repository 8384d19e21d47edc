#include "relay/service.hpp"

#include "relay/protocol.hpp"
#include "security/codec.hpp"

namespace vigilorb::relay {

namespace {

// Every text the relay answers with is its own or a source ID checked on the way in, so its
// JSON always encodes.
std::string jsonBody(const security::codec::OrderedJson& j) { return security::codec::dumpCompact(j).value() + "\n"; }

Response answer(int status, std::string_view message) {
    security::codec::OrderedJson j = security::codec::OrderedJson::object();
    j["error"] = std::string(message);
    return Response{status, jsonBody(j), "application/json", {}, std::nullopt};
}

Response tooMany() {
    auto r = answer(429, "too many requests from this address; try again later");
    r.headers.emplace_back("Retry-After", "60");
    return r;
}

}  // namespace

RelayService::RelayService(Store& store, ServiceSettings settings, std::function<Date()> clock)
    : store_(store),
      settings_(settings),
      clock_(std::move(clock)),
      puts_(settings.putsPerMinute, settings.putBurst),
      authFailures_(settings.authFailuresPerMinute, settings.authFailureBurst) {}

Response RelayService::refuseAuthentication(const Request& request, Date now) {
    authFailures_.take(rateLimitKey(request.clientAddress), now.unix());
    auto r = answer(401, "missing or wrong access token for this channel");
    r.headers.emplace_back("WWW-Authenticate", "Bearer");
    return r;
}

Response RelayService::handle(const Request& request) {
    Date now = clock_();
    auto address = rateLimitKey(request.clientAddress);
    if (!authFailures_.allows(address, now.unix())) return tooMany();

    auto route = parseRoute(request.method, request.path);
    if (!route) {
        switch (route.error()) {
            case RouteError::notFound: return answer(404, "no such resource");
            case RouteError::methodNotAllowed: return answer(405, "method not allowed");
            case RouteError::badChannel: return answer(400, "the channel must be 64 lower-case hex digits");
            case RouteError::badSource: return answer(400, "the source must be a companion ID");
        }
    }
    auto token = bearerToken(request.authorization);
    if (!token) return refuseAuthentication(request, now);
    if (!isDigestText(*token)) {
        authFailures_.take(address, now.unix());
        return answer(400, "the access token must be 64 lower-case hex digits");
    }
    auto digest = tokenDigest(*token);

    try {
        if (route->kind == RouteKind::putSource) return put(request, *route, digest, now);

        auto bound = store_.binding(route->channel);
        if (!bound) return answer(404, "nothing stored on this channel");
        if (!security::crypto::constantTimeEqual(*bound, digest)) return refuseAuthentication(request, now);
        Date expiredBefore = now - settings_.maxAgeSeconds;
        switch (route->kind) {
            case RouteKind::getSource: {
                auto stored = store_.envelope(route->channel, route->source, expiredBefore);
                if (!stored) return answer(404, "nothing stored for this source");
                return Response{200, std::move(*stored), "application/json", {}, std::nullopt};
            }
            case RouteKind::listSources: {
                security::codec::OrderedJson list = security::codec::OrderedJson::array();
                for (const auto& s : store_.sources(route->channel, expiredBefore)) {
                    security::codec::OrderedJson item = security::codec::OrderedJson::object();
                    item["sourceID"] = s.source;
                    item["sequence"] = s.sequence;
                    item["generatedAt"] = s.generatedAt.sinceReference;
                    list.push_back(std::move(item));
                }
                security::codec::OrderedJson j = security::codec::OrderedJson::object();
                j["sources"] = std::move(list);
                return Response{200, jsonBody(j), "application/json", {}, std::nullopt};
            }
            case RouteKind::events: {
                Response r{200, {}, "text/event-stream", {{"Cache-Control", "no-store"}}, route->channel};
                return r;
            }
            case RouteKind::putSource: break;
        }
    } catch (const StoreUnavailable&) {
        return answer(503, "storage is unavailable; try again later");
    }
    return answer(500, "unexpected request");
}

Response RelayService::put(const Request& request, const Route& route, const Bytes& digest, Date now) {
    auto address = rateLimitKey(request.clientAddress);
    if (!puts_.take(address, now.unix())) return tooMany();
    if (request.bodyTooLarge || request.body.size() > bodyLimit)
        return answer(413, "the envelope is larger than 1 MiB");
    if (!isJSONContentType(request.contentType)) return answer(415, "the body must be application/json");
    auto facts = checkEnvelope(request.body, route.source);
    if (!facts) return answer(400, describe(facts.error()));

    // Checked here in constant time; the store checks again atomically with the write.
    auto bound = store_.binding(route.channel);
    if (bound && !security::crypto::constantTimeEqual(*bound, digest)) return refuseAuthentication(request, now);

    PutRequest put{route.channel,
                   digest,
                   route.source,
                   facts->sequence,
                   facts->generatedAt,
                   request.body,
                   now,
                   now - settings_.maxAgeSeconds,
                   sourcesPerChannelLimit};
    switch (store_.put(put)) {
        case PutOutcome::stored: return Response{204, {}, {}, {}, std::nullopt};
        case PutOutcome::wrongToken: return refuseAuthentication(request, now);
        case PutOutcome::staleSequence:
            return answer(409, "the sequence is not above the one stored for this source");
        case PutOutcome::tooManySources: return answer(403, "this channel already holds 64 sources");
    }
    return answer(500, "unexpected store outcome");
}

void RelayService::sweep() { store_.sweep(clock_() - settings_.maxAgeSeconds); }

}  // namespace vigilorb::relay
