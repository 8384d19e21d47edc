// The relay's wire rules as plain functions: routes, tokens, envelope checks, event framing,
// rate limits.
#include <gtest/gtest.h>

#include "relay/protocol.hpp"
#include "relay/rate_limiter.hpp"
#include "relay/redis_store.hpp"
#include "relay_fixtures.hpp"

using namespace vigilorb;
using namespace vigilorb::relay;

namespace {
const std::string channel(64, 'a');
const std::string id = "mac-0f1e2d3c-4b5a-4697-8877-665544332211";
}  // namespace

TEST(RelayRoutes, PathsMethodsAndSegments) {
    struct Case {
        const char* method;
        std::string path;
        std::optional<RouteKind> kind;
        std::optional<RouteError> error;
        std::string source = {};
    } cases[] = {
        {"PUT", "/v1/channels/" + channel + "/sources/" + id, RouteKind::putSource, {}, id},
        {"GET", "/v1/channels/" + channel + "/sources/" + id, RouteKind::getSource, {}, id},
        {"GET", "/v1/channels/" + channel + "/sources", RouteKind::listSources, {}},
        {"GET", "/v1/channels/" + channel + "/events", RouteKind::events, {}},
        // A source in any script the companion-ID rule allows, percent-encoded by the client.
        {"GET", "/v1/channels/" + channel + "/sources/%C3%A9t%C3%A9", RouteKind::getSource, {}, "\xC3\xA9t\xC3\xA9"},
        {"DELETE", "/v1/channels/" + channel + "/sources/" + id, {}, RouteError::methodNotAllowed},
        {"PUT", "/v1/channels/" + channel + "/sources", {}, RouteError::methodNotAllowed},
        {"POST", "/v1/channels/" + channel + "/events", {}, RouteError::methodNotAllowed},
        {"GET", "/v1/channels/" + std::string(64, 'A') + "/sources", {}, RouteError::badChannel},
        {"GET", "/v1/channels/" + std::string(63, 'a') + "/sources", {}, RouteError::badChannel},
        {"GET", "/v1/channels/" + std::string(65, 'a') + "/sources", {}, RouteError::badChannel},
        {"GET", "/v1/channels/" + std::string(63, 'a') + "g/sources", {}, RouteError::badChannel},
        {"PUT", "/v1/channels/" + channel + "/sources/mac%2Fx", {}, RouteError::badSource},
        {"PUT", "/v1/channels/" + channel + "/sources/a.b", {}, RouteError::badSource},
        {"PUT", "/v1/channels/" + channel + "/sources/%zz", {}, RouteError::badSource},
        {"PUT", "/v1/channels/" + channel + "/sources/ab%4", {}, RouteError::badSource},
        {"PUT", "/v1/channels/" + channel + "/sources/", {}, RouteError::badSource},
        {"PUT", "/v1/channels/" + channel + "/sources/" + std::string(65, 'x'), {}, RouteError::badSource},
        {"GET", "/v1/channels/" + channel, {}, RouteError::notFound},
        {"GET", "/v1/channels/" + channel + "/sources/" + id + "/x", {}, RouteError::notFound},
        {"GET", "/v2/channels/" + channel + "/sources", {}, RouteError::notFound},
        {"GET", "v1/channels/" + channel + "/sources", {}, RouteError::notFound},
        {"GET", "/", {}, RouteError::notFound},
    };
    for (const auto& c : cases) {
        auto route = parseRoute(c.method, c.path);
        if (c.kind) {
            ASSERT_TRUE(route.has_value()) << c.method << " " << c.path;
            EXPECT_EQ(route->kind, *c.kind) << c.path;
            EXPECT_EQ(route->channel, channel) << c.path;
            EXPECT_EQ(route->source, c.source) << c.path;
        } else {
            ASSERT_FALSE(route.has_value()) << c.method << " " << c.path;
            EXPECT_EQ(route.error(), *c.error) << c.method << " " << c.path;
        }
    }
}

TEST(RelayRoutes, BearerTokens) {
    std::string token(64, 'b');
    EXPECT_EQ(bearerToken("Bearer " + token), token);
    EXPECT_EQ(bearerToken("bearer  " + token + " "), token);
    EXPECT_EQ(bearerToken(std::nullopt), std::nullopt);
    EXPECT_EQ(bearerToken("Basic " + token), std::nullopt);
    EXPECT_EQ(bearerToken(token), std::nullopt);
    EXPECT_TRUE(isDigestText(token));
    EXPECT_FALSE(isDigestText(std::string(64, 'B')));
    EXPECT_FALSE(isDigestText(""));
}

TEST(RelayEnvelope, AcceptsWhatTheCompanionSealsAndRefusesGarbage) {
    test::RelayParty party(id);
    auto good = party.envelope(42);
    auto facts = checkEnvelope(good, id);
    ASSERT_TRUE(facts.has_value());
    EXPECT_EQ(facts->sequence, 42u);
    EXPECT_EQ(facts->generatedAt, Date::fromReference(790000000));
    // The largest sequence the companion can send survives unrounded.
    auto huge = checkEnvelope(party.envelope(18446744073709551615ull), id);
    ASSERT_TRUE(huge.has_value());
    EXPECT_EQ(huge->sequence, 18446744073709551615ull);

    auto edited = [&](auto change) {
        auto j = nlohmann::ordered_json::parse(good);
        change(j);
        return j.dump();
    };
    struct Case {
        const char* name;
        std::string body;
        EnvelopeError error;
    } cases[] = {
        {"empty", "", EnvelopeError::notJSON},
        {"not JSON", "\x01\x02garbage", EnvelopeError::notJSON},
        {"array", "[1,2]", EnvelopeError::notJSON},
        {"truncated", good.substr(0, good.size() / 2), EnvelopeError::notJSON},
        {"missing sealedPayload", edited([](auto& j) { j.erase("sealedPayload"); }), EnvelopeError::wrongShape},
        {"bad Base64", edited([](auto& j) { j["sealedPayload"] = "***"; }), EnvelopeError::wrongShape},
        {"negative sequence", edited([](auto& j) { j["sequence"] = -1; }), EnvelopeError::wrongShape},
        {"text sequence", edited([](auto& j) { j["sequence"] = "7"; }), EnvelopeError::wrongShape},
        {"schema 2", edited([](auto& j) { j["schemaVersion"] = 2; }), EnvelopeError::wrongSchema},
        {"other source", edited([](auto& j) { j["sourceID"] = "mac-other"; }), EnvelopeError::sourceMismatch},
        {"upper-case key id", edited([](auto& j) { j["keyIdentifier"] = "ABCDEF0123456789"; }),
         EnvelopeError::badKeyIdentifier},
        {"long name", edited([](auto& j) { j["sourceName"] = std::string(65, 'n'); }), EnvelopeError::badSourceName},
        {"short box", edited([](auto& j) { j["sealedPayload"] = security::crypto::base64Encode(Bytes(27, 1)); }),
         EnvelopeError::badSealedPayload},
    };
    for (const auto& c : cases) {
        auto result = checkEnvelope(c.body, id);
        ASSERT_FALSE(result.has_value()) << c.name;
        EXPECT_EQ(result.error(), c.error) << c.name;
    }
}

TEST(RelayEnvelope, ContentTypes) {
    EXPECT_TRUE(isJSONContentType("application/json"));
    EXPECT_TRUE(isJSONContentType("Application/JSON; charset=utf-8"));
    EXPECT_FALSE(isJSONContentType(std::nullopt));
    EXPECT_FALSE(isJSONContentType("text/plain"));
    EXPECT_FALSE(isJSONContentType("application/jsonx"));
}

TEST(RelayEvents, EachLineOfAnEnvelopeIsOneDataField) {
    EXPECT_EQ(sseEvent(R"({"a":1})", 7), "event: envelope\nid: 7\ndata: {\"a\":1}\n\n");
    // A body the client sent pretty-printed still arrives whole: the receiver joins data
    // fields with line feeds.
    EXPECT_EQ(sseEvent("{\r\n\"a\":1\n}", 8), "event: envelope\nid: 8\ndata: {\ndata: \"a\":1\ndata: }\n\n");
}

TEST(RelayRateLimiter, BurstRefillAndAddressesApart) {
    RateLimiter limiter(60, 3);  // one a second, three at once
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(limiter.take("192.0.2.1", 100)) << i;
    EXPECT_FALSE(limiter.take("192.0.2.1", 100));
    EXPECT_FALSE(limiter.allows("192.0.2.1", 100.5));
    EXPECT_TRUE(limiter.take("192.0.2.2", 100));  // another client is not affected
    EXPECT_TRUE(limiter.take("192.0.2.1", 101));  // one second later: one more
    EXPECT_FALSE(limiter.take("192.0.2.1", 101));
    EXPECT_TRUE(limiter.allows("192.0.2.1", 1000));
    RateLimiter off(0, 1);
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(off.take("192.0.2.1", 100));
}

TEST(RelayRateLimiter, TableStaysBoundedUnderManyAddresses) {
    RateLimiter limiter(60, 2, 100);
    for (int i = 0; i < 10000; ++i) limiter.take("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256), 5);
    EXPECT_LE(limiter.trackedAddresses(), 100u);
}

TEST(RelayRateLimiter, AddressKeys) {
    EXPECT_EQ(rateLimitKey("192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(rateLimitKey("::ffff:192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(rateLimitKey("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
    EXPECT_EQ(rateLimitKey("2001:db8:1:2:bbbb::9"), "2001:db8:1:2::/64");
}

TEST(RelayRedisAddress, Forms) {
    auto a = parseRedisURL("redis://127.0.0.1:6380/2");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->host, "127.0.0.1");
    EXPECT_EQ(a->port, 6380);
    EXPECT_EQ(a->database, 2);
    auto b = parseRedisURL("redis://:secret@[::1]:7000");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->host, "::1");
    EXPECT_EQ(b->port, 7000);
    EXPECT_EQ(b->password, "secret");
    auto c = parseRedisURL("unix:/run/redis/redis.sock");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->socketPath, "/run/redis/redis.sock");
    EXPECT_EQ(parseRedisURL("http://x"), std::nullopt);
    EXPECT_EQ(parseRedisURL("redis://h:99999"), std::nullopt);
}
