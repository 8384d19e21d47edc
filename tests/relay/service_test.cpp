// The relay's rules against both stores: the same table runs on SQLite and on a real Redis
// (started by with_redis.sh; without it the Redis cases are skipped).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "relay/protocol.hpp"
#include "relay/redis_store.hpp"
#include "relay/service.hpp"
#include "relay/sqlite_store.hpp"
#include "relay_fixtures.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::relay;

namespace {

const std::string ada = "mac-0f1e2d3c-4b5a-4697-8877-665544332211";
const std::string bob = "mac-11111111-2222-4333-8444-555555555555";

std::unique_ptr<Store> makeStore(const std::string& kind, const test::TempDir& dir) {
    if (kind == "sqlite") return std::make_unique<SQLiteStore>(dir / "data");
    const char* url = std::getenv("VIGILORB_REDIS_URL");
    if (!url) return nullptr;
    // A fresh key space per test, so tests never see each other's channels.
    static std::atomic<int> counter{0};
    auto prefix = "t" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ":";
    return std::make_unique<RedisStore>(url, prefix);
}

class RelayServiceTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        store = makeStore(GetParam(), dir);
        if (!store) GTEST_SKIP() << "no Redis (run under with_redis.sh)";
        service = std::make_unique<RelayService>(*store, settings, [this] { return now; });
    }

    Response send(std::string method, std::string path, std::optional<std::string> token, std::string body = {},
                  std::string address = "192.0.2.10") {
        Request r;
        r.method = std::move(method);
        r.path = std::move(path);
        if (token) r.authorization = "Bearer " + *token;
        r.contentType = "application/json";
        r.body = std::move(body);
        r.clientAddress = std::move(address);
        return service->handle(r);
    }
    static std::string sourcePath(const test::RelayParty& p, const std::string& source = {}) {
        return "/v1/channels/" + p.credentials.channelID + "/sources/" + (source.empty() ? p.companionID : source);
    }
    static std::string listPath(const test::RelayParty& p) {
        return "/v1/channels/" + p.credentials.channelID + "/sources";
    }
    Response put(const test::RelayParty& p, std::uint64_t sequence) {
        return send("PUT", sourcePath(p), p.credentials.accessToken, p.envelope(sequence));
    }

    test::TempDir dir;
    ServiceSettings settings{.maxAgeSeconds = 30 * 86400.0,
                             .putsPerMinute = 0,
                             .putBurst = 1,
                             .authFailuresPerMinute = 0,
                             .authFailureBurst = 1};
    Date now = Date::fromReference(800000000);
    std::unique_ptr<Store> store;
    std::unique_ptr<RelayService> service;
};

}  // namespace

TEST_P(RelayServiceTest, StoresAndReturnsTheExactBytes) {
    test::RelayParty party(ada);
    // Spacing the companion did not choose still comes back byte for byte.
    auto body = "  " + party.envelope(5) + "\n";
    auto stored = send("PUT", sourcePath(party), party.credentials.accessToken, body);
    EXPECT_EQ(stored.status, 204) << stored.body;
    EXPECT_TRUE(stored.body.empty());
    auto fetched = send("GET", sourcePath(party), party.credentials.accessToken);
    EXPECT_EQ(fetched.status, 200);
    EXPECT_EQ(fetched.body, body);
    EXPECT_EQ(fetched.contentType, "application/json");
    auto payload = security::EncryptedCloudSnapshotEnvelope::open(fetched.body, party.key).value();
    EXPECT_EQ(security::crypto::stringOf(payload), R"({"generatedAt":1,"tasks":[]})");

    EXPECT_EQ(put(party, 6).status, 204);
    EXPECT_EQ(security::EncryptedCloudSnapshotEnvelope::decode(send("GET", sourcePath(party), party.credentials.accessToken).body).value()
                  .sequence,
              6u);
}

TEST_P(RelayServiceTest, ListsSourcesWithNewestSequenceAndTime) {
    test::RelayParty party(ada);
    // A second computer paired with the same key shares the channel only if its ID matches;
    // here a second source uploads under the same channel and token.
    EXPECT_EQ(put(party, 3).status, 204);
    EXPECT_EQ(put(party, 9).status, 204);
    test::RelayParty other(bob);
    auto body = other.envelope(4, "{}", Date::fromReference(790000100));
    EXPECT_EQ(send("PUT", sourcePath(party, bob), party.credentials.accessToken, body).status, 204);
    auto list = send("GET", listPath(party), party.credentials.accessToken);
    ASSERT_EQ(list.status, 200);
    EXPECT_EQ(list.body, R"({"sources":[{"sourceID":")" + ada + R"(","sequence":9,"generatedAt":790000000.0},)" +
                             R"({"sourceID":")" + bob + R"(","sequence":4,"generatedAt":790000100.0}]})" + "\n");
}

TEST_P(RelayServiceTest, RefusalsHaveTheirStatus) {
    test::RelayParty party(ada);
    ASSERT_EQ(put(party, 10).status, 204);
    test::RelayParty stranger(ada, "another key");
    const auto& token = party.credentials.accessToken;
    const auto& channel = party.credentials.channelID;
    auto envelope = party.envelope(11);
    struct Case {
        const char* name;
        std::string method, path;
        std::optional<std::string> token;
        std::string body;
        int status;
    } cases[] = {
        {"no token, GET", "GET", sourcePath(party), std::nullopt, {}, 401},
        {"no token, PUT", "PUT", sourcePath(party), std::nullopt, envelope, 401},
        {"other token, GET", "GET", sourcePath(party), stranger.credentials.accessToken, {}, 401},
        {"other token, list", "GET", listPath(party), stranger.credentials.accessToken, {}, 401},
        {"other token, events", "GET", "/v1/channels/" + channel + "/events", stranger.credentials.accessToken, {},
         401},
        {"other token, PUT", "PUT", sourcePath(party), stranger.credentials.accessToken, envelope, 401},
        {"token not hex", "GET", sourcePath(party), std::string(64, 'Z'), {}, 400},
        {"token too short", "PUT", sourcePath(party), token.substr(1), envelope, 400},
        {"channel upper-case", "GET", "/v1/channels/" + std::string(64, 'A') + "/sources", token, {}, 400},
        {"source not an ID", "PUT", sourcePath(party, "x.y"), token, envelope, 400},
        {"garbage body", "PUT", sourcePath(party), token, "\x89PNG\r\n\x1a\n", 400},
        {"body for another source", "PUT", sourcePath(party, bob), token, envelope, 400},
        {"same sequence", "PUT", sourcePath(party), token, party.envelope(10), 409},
        {"older sequence", "PUT", sourcePath(party), token, party.envelope(9), 409},
        {"sequence zero", "PUT", sourcePath(party), token, party.envelope(0), 409},
        {"oversize", "PUT", sourcePath(party), token, std::string(bodyLimit + 1, ' '), 413},
        {"unknown channel", "GET", "/v1/channels/" + std::string(64, '0') + "/sources", token, {}, 404},
        {"unknown source", "GET", sourcePath(party, bob), token, {}, 404},
        {"unknown path", "GET", "/v1/channels", token, {}, 404},
        {"wrong method", "DELETE", sourcePath(party), token, {}, 405},
    };
    for (const auto& c : cases) {
        auto r = send(c.method, c.path, c.token, c.body);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.body;
        if (c.status == 401) {
            EXPECT_EQ(r.headers.at(0).first, "WWW-Authenticate") << c.name;
        }
    }
    // Nothing refused changed what is stored.
    auto fetched = send("GET", sourcePath(party), token);
    EXPECT_EQ(security::EncryptedCloudSnapshotEnvelope::decode(fetched.body).value().sequence, 10u);
    EXPECT_EQ(store->sources(channel, now - 1e9).size(), 1u);
}

TEST_P(RelayServiceTest, TheFirstUploadBindsTheChannel) {
    test::RelayParty party(ada);
    test::RelayParty squatter(ada, "squatter's key");
    // The squatter's token on the party's channel: the first upload wins the channel.
    auto path = sourcePath(party);
    EXPECT_EQ(send("PUT", path, party.credentials.accessToken, party.envelope(1)).status, 204);
    EXPECT_EQ(send("PUT", path, squatter.credentials.accessToken, party.envelope(2)).status, 401);
    EXPECT_EQ(send("PUT", path, party.credentials.accessToken, party.envelope(2)).status, 204);
    // The relay keeps the token's digest, never the token.
    auto bound = store->binding(party.credentials.channelID);
    ASSERT_TRUE(bound);
    EXPECT_EQ(*bound, tokenDigest(party.credentials.accessToken));
}

TEST_P(RelayServiceTest, EnvelopesExpireWithoutUpdates) {
    test::RelayParty party(ada);
    ASSERT_EQ(put(party, 7).status, 204);
    auto events = store->envelopes(party.credentials.channelID, now - settings.maxAgeSeconds);
    EXPECT_EQ(events.size(), 1u);
    now = now + settings.maxAgeSeconds - 1;
    EXPECT_EQ(send("GET", sourcePath(party), party.credentials.accessToken).status, 200);
    now = now + 2;
    EXPECT_EQ(send("GET", sourcePath(party), party.credentials.accessToken).status, 404);
    EXPECT_EQ(send("GET", listPath(party), party.credentials.accessToken).body, "{\"sources\":[]}\n");
    EXPECT_TRUE(store->envelopes(party.credentials.channelID, now - settings.maxAgeSeconds).empty());
    service->sweep();
    // After expiry the source starts afresh: an upload after a long silence is accepted.
    EXPECT_EQ(put(party, 3).status, 204);
    EXPECT_EQ(send("GET", sourcePath(party), party.credentials.accessToken).status, 200);
}

TEST_P(RelayServiceTest, AtMost64SourcesPerChannel) {
    test::RelayParty party(ada);
    for (std::size_t i = 0; i < sourcesPerChannelLimit; ++i) {
        test::RelayParty source("mac-source-" + std::to_string(i));
        ASSERT_EQ(send("PUT", sourcePath(party, source.companionID), party.credentials.accessToken,
                       source.envelope(1))
                      .status,
                  204)
            << i;
    }
    test::RelayParty extra("mac-source-extra");
    EXPECT_EQ(send("PUT", sourcePath(party, extra.companionID), party.credentials.accessToken, extra.envelope(1)).status,
              403);
    // The sources already there keep uploading.
    test::RelayParty first("mac-source-0");
    EXPECT_EQ(send("PUT", sourcePath(party, first.companionID), party.credentials.accessToken, first.envelope(2)).status,
              204);
}

TEST_P(RelayServiceTest, RateLimitsPerClientAddress) {
    settings.putsPerMinute = 60;
    settings.putBurst = 3;
    settings.authFailuresPerMinute = 6;
    settings.authFailureBurst = 2;
    service = std::make_unique<RelayService>(*store, settings, [this] { return now; });
    test::RelayParty party(ada);
    for (std::uint64_t s = 1; s <= 3; ++s) EXPECT_EQ(put(party, s).status, 204) << s;
    auto limited = put(party, 4);
    EXPECT_EQ(limited.status, 429);
    EXPECT_EQ(limited.headers.at(0), (std::pair<std::string, std::string>("Retry-After", "60")));
    // Another address is not affected, and a second later this one may upload again.
    EXPECT_EQ(send("PUT", sourcePath(party), party.credentials.accessToken, party.envelope(4), "192.0.2.99").status, 204);
    now = now + 1;
    EXPECT_EQ(put(party, 5).status, 204);

    // Failed authentications: after the burst every request from that address waits, even
    // one with the right token.
    test::RelayParty stranger(ada, "guess");
    std::string attacker = "198.51.100.7";
    EXPECT_EQ(send("GET", sourcePath(party), stranger.credentials.accessToken, {}, attacker).status, 401);
    EXPECT_EQ(send("GET", sourcePath(party), std::nullopt, {}, attacker).status, 401);
    EXPECT_EQ(send("GET", sourcePath(party), stranger.credentials.accessToken, {}, attacker).status, 429);
    EXPECT_EQ(send("GET", sourcePath(party), party.credentials.accessToken, {}, attacker).status, 429);
    EXPECT_EQ(send("GET", sourcePath(party), party.credentials.accessToken).status, 200);
    now = now + 10;
    EXPECT_EQ(send("GET", sourcePath(party), party.credentials.accessToken, {}, attacker).status, 200);
}

TEST_P(RelayServiceTest, ConcurrentUploadsOfOneSequenceStoreExactlyOne) {
    test::RelayParty party(ada);
    ASSERT_EQ(put(party, 1).status, 204);
    std::atomic<int> stored{0}, conflicts{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            auto r = send("PUT", sourcePath(party), party.credentials.accessToken,
                          party.envelope(2, "{\"writer\":" + std::to_string(t) + "}"));
            (r.status == 204 ? stored : conflicts)++;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(stored.load(), 1);
    EXPECT_EQ(conflicts.load(), 7);
}

TEST_P(RelayServiceTest, EveryStoredEnvelopeReachesTheListenerOnce) {
    std::mutex mutex;
    std::vector<std::pair<std::string, StoredEnvelope>> heard;
    store->setListener([&](const std::string& channel, const StoredEnvelope& stored) {
        std::lock_guard lock(mutex);
        heard.emplace_back(channel, stored);
    });
    if (auto* redis = dynamic_cast<RedisStore*>(store.get())) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!redis->subscribed() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    test::RelayParty party(ada);
    ASSERT_EQ(put(party, 1).status, 204);
    ASSERT_EQ(put(party, 1).status, 409);  // refused uploads are not announced
    auto second = party.envelope(2);
    ASSERT_EQ(send("PUT", sourcePath(party), party.credentials.accessToken, second).status, 204);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        std::lock_guard lock(mutex);
        if (heard.size() >= 2) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room for a wrong extra one
    std::lock_guard lock(mutex);
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[1], (std::pair<std::string, StoredEnvelope>(party.credentials.channelID, {ada, second, 2})));
    store->setListener(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Stores, RelayServiceTest, ::testing::Values("sqlite", "redis"),
                         [](const auto& info) { return info.param; });
