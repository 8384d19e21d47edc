// vigilorb-relay as people run it: a real process on a loopback port, spoken to over raw
// sockets, curl and TLS, with SQLite or a real Redis (VIGILORB_REDIS_URL, from with_redis.sh).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <thread>

#include "child_process.hpp"
#include "security/pairing.hpp"
#include "http_client.hpp"
#include "relay_fixtures.hpp"
#include "relay_process.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::test;
using namespace std::chrono_literals;

namespace {

const std::string ada = "mac-0f1e2d3c-4b5a-4697-8877-665544332211";
// Honest clients come from another loopback address than the hostile ones, as they would
// from another host: per-address limits must not catch them.
const std::string honest = "127.0.0.2";

using Headers = std::vector<std::pair<std::string, std::string>>;

Headers auth(const RelayParty& p) {
    return {{"Authorization", "Bearer " + p.credentials.accessToken}, {"Content-Type", "application/json"}};
}
std::string sourcePath(const RelayParty& p) {
    return "/v1/channels/" + p.credentials.channelID + "/sources/" + p.companionID;
}
std::string eventsPath(const RelayParty& p) { return "/v1/channels/" + p.credentials.channelID + "/events"; }

HttpReply put(int port, const RelayParty& p, const std::string& body, const std::string& from = honest) {
    return http(port, "PUT", sourcePath(p), auth(p), body, from);
}
HttpReply get(int port, const RelayParty& p, const std::string& from = honest) {
    return http(port, "GET", sourcePath(p), auth(p), {}, from);
}

std::string redisURL() {
    const char* url = std::getenv("VIGILORB_REDIS_URL");
    return url ? url : "";
}

}  // namespace

TEST(RelayServer, StoresAndServesOverHTTP) {
    TempDir dir;
    RelayProcess relay({"--data", (dir / "data").string()});
    RelayParty party(ada);
    auto body = party.envelope(1);
    auto stored = put(relay.port(), party, body);
    EXPECT_EQ(stored.status, 204);
    auto fetched = get(relay.port(), party);
    EXPECT_EQ(fetched.status, 200);
    EXPECT_EQ(fetched.headers["content-type"], "application/json");
    EXPECT_EQ(fetched.body, body);
    auto list = http(relay.port(), "GET", "/v1/channels/" + party.credentials.channelID + "/sources", auth(party), {},
                     honest);
    EXPECT_EQ(list.status, 200);
    EXPECT_NE(list.body.find("\"sequence\":1"), std::string::npos);
    // The database holds the token's digest only.
    auto database = readText(dir / "data" / "relay.sqlite3") + readText(dir / "data" / "relay.sqlite3-wal");
    EXPECT_EQ(database.find(party.credentials.accessToken), std::string::npos);
    EXPECT_NE(database.find(party.credentials.channelID), std::string::npos);
}

TEST(RelayServer, RefusesOnTheWire) {
    TempDir dir;
    RelayProcess relay({"--data", (dir / "data").string(), "--idle-timeout", "2"});
    RelayParty party(ada);
    ASSERT_EQ(put(relay.port(), party, party.envelope(5)).status, 204);
    std::string big(1024 * 1024 + 1, ' ');
    struct Case {
        const char* name;
        std::string request;
        int status;
    } cases[] = {
        {"declared oversize body, not sent",
         "PUT " + sourcePath(party) + " HTTP/1.1\r\nHost: r\r\nAuthorization: Bearer " + party.credentials.accessToken +
             "\r\nContent-Type: application/json\r\nContent-Length: 2000000\r\n\r\n",
         413},
        {"chunked body past 1 MiB",
         "PUT " + sourcePath(party) + " HTTP/1.1\r\nHost: r\r\nAuthorization: Bearer " + party.credentials.accessToken +
             "\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n100001\r\n" + big + "\r\n0\r\n\r\n",
         413},
        {"64 KiB of headers",
         "GET " + sourcePath(party) + " HTTP/1.1\r\nHost: r\r\nX-Pad: " + std::string(64 * 1024, 'p') + "\r\n\r\n",
         431},
        {"stale sequence", requestText("PUT", sourcePath(party), auth(party), party.envelope(5)), 409},
        {"no token", requestText("GET", sourcePath(party), {}, {}), 401},
        {"escaped slash in the source",
         requestText("GET", "/v1/channels/" + party.credentials.channelID + "/sources/mac%2F1", auth(party), {}), 400},
        {"unknown path", requestText("GET", "/index.html", {}, {}), 404},
    };
    for (const auto& c : cases) {
        Socket s(relay.port(), honest);
        s.send(c.request);
        auto reply = parseReply(s.receiveAll(20s));
        EXPECT_EQ(reply.status, c.status) << c.name;
    }
    // Bytes that are not HTTP at all (here a TLS hello) are refused or dropped, never served.
    Socket tls(relay.port(), honest);
    tls.send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) + std::string(500, '\x01') + "\r\n\r\n");
    auto reply = parseReply(tls.receiveAll(20s));
    EXPECT_TRUE(reply.status == 0 || reply.status == 400) << reply.status;
    EXPECT_EQ(security::EncryptedCloudSnapshotEnvelope::decode(get(relay.port(), party).body).value().sequence, 5u);
    EXPECT_TRUE(relay.running());
}

TEST(RelayServer, CurlAsAPersonWouldUseIt) {
    TempDir dir;
    RelayProcess relay({"--data", (dir / "data").string()});
    RelayParty party(ada);
    writeText(dir / "envelope.json", party.envelope(3));
    auto url = "http://127.0.0.1:" + std::to_string(relay.port()) + sourcePath(party);
    auto bearer = "Authorization: Bearer " + party.credentials.accessToken;
    auto curl = [&](std::vector<std::string> args) {
        std::vector<std::string> argv = {"/usr/bin/curl", "-sS", "-o", (dir / "out").string(), "-w", "%{http_code}"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, baseEnvironment()).out;
    };
    EXPECT_EQ(curl({"-X", "PUT", "-H", bearer, "-H", "Content-Type: application/json", "--data-binary",
                    "@" + (dir / "envelope.json").string(), url}),
              "204");
    EXPECT_EQ(curl({"-H", bearer, url}), "200");
    EXPECT_EQ(readText(dir / "out"), readText(dir / "envelope.json"));
    EXPECT_EQ(curl({"-X", "PUT", "-H", bearer, "-H", "Content-Type: application/json", "--data-binary",
                    "@" + (dir / "envelope.json").string(), url}),
              "409");
    EXPECT_EQ(curl({url}), "401");
    EXPECT_EQ(curl({"-H", "Authorization: Bearer " + std::string(64, '0'), url}), "401");
}

TEST(RelayServer, EventsReachEverySubscriber) {
    TempDir dir;
    RelayProcess relay({"--data", (dir / "data").string()});
    RelayParty party(ada);
    ASSERT_EQ(put(relay.port(), party, party.envelope(1)).status, 204);
    EventStream first(relay.port(), eventsPath(party), party.credentials.accessToken, honest);
    EventStream second(relay.port(), eventsPath(party), party.credentials.accessToken, honest);
    ASSERT_EQ(first.status(), 200);
    ASSERT_TRUE(first.live() && second.live());
    // A subscriber starts with what is stored, then hears each new envelope.
    auto next = party.envelope(2);
    ASSERT_EQ(put(relay.port(), party, next).status, 204);
    ASSERT_EQ(put(relay.port(), party, party.envelope(2)).status, 409);
    for (auto* stream : {&first, &second}) {
        auto events = stream->waitFor(2);
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(security::EncryptedCloudSnapshotEnvelope::decode(events[0]).value().sequence, 1u);
        EXPECT_EQ(events[1], next);
    }
    EventStream stranger(relay.port(), eventsPath(party), std::string(64, '1'), honest);
    EXPECT_EQ(stranger.status(), 401);
}

TEST(RelayServer, TwoProcessesOnOneRedisBehaveAsOne) {
    if (redisURL().empty()) GTEST_SKIP() << "no Redis (run under with_redis.sh)";
    RelayProcess a({"--redis", redisURL()}), b({"--redis", redisURL()});
    RelayParty party("mac-shared-" + std::to_string(std::random_device{}()));
    EventStream onA(a.port(), eventsPath(party), party.credentials.accessToken, honest);
    // No channel yet: the first upload binds it; subscribers connect after that.
    EXPECT_EQ(onA.status(), 404);
    ASSERT_EQ(put(a.port(), party, party.envelope(1)).status, 204);
    EventStream first(a.port(), eventsPath(party), party.credentials.accessToken, honest);
    EventStream second(b.port(), eventsPath(party), party.credentials.accessToken, honest);
    ASSERT_TRUE(first.live() && second.live());
    auto next = party.envelope(2);
    ASSERT_EQ(put(b.port(), party, next).status, 204);
    for (auto* stream : {&first, &second}) {
        auto events = stream->waitFor(2);
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[1], next);
    }
    // One sequence and one binding for both.
    EXPECT_EQ(put(a.port(), party, party.envelope(2)).status, 409);
    EXPECT_EQ(get(a.port(), party).body, next);
    RelayParty squatter(party.companionID, "squatter");
    auto refused = http(b.port(), "PUT", sourcePath(party),
                        {{"Authorization", "Bearer " + squatter.credentials.accessToken},
                         {"Content-Type", "application/json"}},
                        party.envelope(3), honest);
    EXPECT_EQ(refused.status, 401);
}

// Hostile traffic from 127.0.0.1 while an honest client at 127.0.0.2 keeps being served.
class RelayUnderAttack : public ::testing::Test {
protected:
    void SetUp() override {
        // Under AddressSanitizer freed memory sits in a quarantine (256 MiB by default) and
        // would read as growth; a small one keeps the memory figures meaningful.
        auto env = baseEnvironment();
        env["ASAN_OPTIONS"] = env["ASAN_OPTIONS"] + (env["ASAN_OPTIONS"].empty() ? "" : ":") +
                              "quarantine_size_mb=4:thread_local_quarantine_size_kb=64";
        relay = std::make_unique<RelayProcess>(
            std::vector<std::string>{"--data", (dir / "data").string(), "--request-timeout", "3", "--idle-timeout", "5"},
            env);
        ASSERT_EQ(put(relay->port(), party, stored).status, 204);
    }
    void expectHonestServed() {
        auto reply = get(relay->port(), party);
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, stored);
        EXPECT_TRUE(relay->running());
    }
    TempDir dir;
    RelayParty party{ada};
    std::string stored = party.envelope(1);
    std::unique_ptr<RelayProcess> relay;
};

TEST_F(RelayUnderAttack, RandomBytesAndHugeHeaders) {
    std::mt19937 random(7);
    long before = relay->residentKiB();
    for (int i = 0; i < 200; ++i) {
        Socket s(relay->port());
        std::string noise(1 + random() % 4096, '\0');
        for (auto& c : noise) c = static_cast<char>(random());
        s.send(noise);
        s.receive(5ms);
    }
    // Endless header lines: the server must stop reading at its header budget.
    for (int i = 0; i < 20; ++i) {
        Socket s(relay->port());
        s.send("GET / HTTP/1.1\r\nHost: r\r\n");
        std::string line = "X-" + std::to_string(i) + ": " + std::string(4000, 'h') + "\r\n";
        for (int n = 0; n < 2000 && s.send(line); ++n) {
        }
    }
    expectHonestServed();
    EXPECT_LT(relay->residentKiB() - before, 32 * 1024) << "KiB grown";
}

TEST_F(RelayUnderAttack, SlowClientsAreCutOffAndHoldNothing) {
    std::vector<std::unique_ptr<Socket>> slow;
    for (int i = 0; i < 40; ++i) {
        slow.push_back(std::make_unique<Socket>(relay->port()));
        slow.back()->send("GET " + sourcePath(party) + " HTTP/1.1\r\nHost: r\r\nX-Slow: ");
    }
    std::atomic<bool> stop{false};
    std::atomic<int> closed{0};
    // One byte per slow client every half second: never idle, never finished.
    std::thread trickle([&] {
        std::vector<bool> gone(slow.size(), false);
        while (!stop) {
            for (std::size_t i = 0; i < slow.size(); ++i) {
                if (gone[i]) continue;
                if (!slow[i]->send("a") || !slow[i]->receive(1ms)) {
                    gone[i] = true;
                    ++closed;
                }
            }
            std::this_thread::sleep_for(500ms);
        }
    });
    expectHonestServed();
    // Every trickling request is ended at its deadline (3 s here), however busy it looks.
    EXPECT_TRUE(eventually([&] { return closed == static_cast<int>(slow.size()); }, std::chrono::seconds(60)))
        << closed << " of " << slow.size();
    stop = true;
    trickle.join();
    expectHonestServed();
}

TEST_F(RelayUnderAttack, TenThousandBadTokens) {
    long before = relay->residentKiB();
    std::atomic<int> unauthorised{0}, limited{0}, other{0};
    std::vector<std::thread> attackers;
    for (int t = 0; t < 4; ++t)
        attackers.emplace_back([&, t] {
            std::mt19937_64 random(static_cast<unsigned>(t));
            for (int i = 0; i < 2500; ++i) {
                char token[65];
                std::snprintf(token, sizeof token, "%016llx%016llx%016llx%016llx",
                              static_cast<unsigned long long>(random()), static_cast<unsigned long long>(random()),
                              static_cast<unsigned long long>(random()), static_cast<unsigned long long>(random()));
                auto reply = http(relay->port(), "GET", sourcePath(party), {{"Authorization", std::string("Bearer ") + token}});
                (reply.status == 401 ? unauthorised : reply.status == 429 ? limited : other)++;
            }
        });
    // Meanwhile the owner keeps reading.
    int served = 0;
    for (int i = 0; i < 20; ++i) served += get(relay->port(), party).status == 200;
    for (auto& t : attackers) t.join();
    EXPECT_EQ(served, 20);
    EXPECT_EQ(unauthorised + limited + other, 10000);
    EXPECT_EQ(other.load(), 0);
    // A handful of guesses is answered, the rest only earns "wait".
    EXPECT_LE(unauthorised.load(), 40);
    expectHonestServed();
    EXPECT_LT(relay->residentKiB() - before, 16 * 1024) << "KiB grown";
}

namespace {
// A CA and a certificate for 127.0.0.1 signed by it, made with openssl at test time.
bool makeTestCertificates(const TempDir& dir) {
    auto script = "set -e; cd '" + dir.path().string() + "';"
                  "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem"
                  " -days 2 -subj '/CN=Relay Test CA' 2>/dev/null;"
                  "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout server.key -out server.csr"
                  " -subj '/CN=127.0.0.1' 2>/dev/null;"
                  "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > san.ext;"
                  "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2"
                  " -extfile san.ext 2>/dev/null";
    return run({"/bin/sh", "-c", script}, baseEnvironment()).status == 0;
}
}  // namespace

TEST(RelayServer, ServesTLSWithItsCertificate) {
    TempDir dir;
    ASSERT_TRUE(makeTestCertificates(dir));
    RelayProcess relay({"--data", (dir / "data").string(), "--tls-cert", (dir / "server.pem").string(), "--tls-key",
                        (dir / "server.key").string()});
    RelayParty party(ada);
    writeText(dir / "envelope.json", party.envelope(1));
    auto url = "https://127.0.0.1:" + std::to_string(relay.port()) + sourcePath(party);
    auto bearer = "Authorization: Bearer " + party.credentials.accessToken;
    auto curl = [&](std::vector<std::string> args) {
        std::vector<std::string> argv = {"/usr/bin/curl", "-sS", "-o", (dir / "out").string(), "-w", "%{http_code}"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, baseEnvironment());
    };
    EXPECT_EQ(curl({"--cacert", (dir / "ca.pem").string(), "-X", "PUT", "-H", bearer, "-H",
                    "Content-Type: application/json", "--data-binary", "@" + (dir / "envelope.json").string(), url})
                  .out,
              "204");
    EXPECT_EQ(curl({"--cacert", (dir / "ca.pem").string(), "-H", bearer, url}).out, "200");
    EXPECT_EQ(readText(dir / "out"), readText(dir / "envelope.json"));
    // Without the test CA the certificate is not trusted; plain HTTP is not answered as HTTP.
    EXPECT_EQ(curl({"-H", bearer, url}).status, 60);
    EXPECT_EQ(http(relay.port(), "GET", sourcePath(party), auth(party), {}, honest).status, 0);
}

TEST(RelayServer, StartUpRefusals) {
    TempDir dir;
    auto relay = (binDir() / "vigilorb-relay").string();
    struct Case {
        const char* name;
        std::vector<std::string> argv;
        const char* message;
    } cases[] = {
        {"plain HTTP on a public address", {relay, "--listen", "0.0.0.0:0", "--data", (dir / "d").string()},
         "refusing plain HTTP"},
        {"certificate without key",
         {relay, "--listen", "127.0.0.1:0", "--data", (dir / "d").string(), "--tls-cert", (dir / "c").string()},
         "--tls-cert and --tls-key go together"},
        {"no store", {relay, "--listen", "127.0.0.1:0"}, "--data or --redis is required"},
        {"bad port", {relay, "--listen", "127.0.0.1:70000", "--data", (dir / "d").string()}, "port"},
    };
    for (const auto& c : cases) {
        auto result = run(c.argv, baseEnvironment());
        EXPECT_EQ(result.status, 2) << c.name;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << c.name << ": " << result.err;
    }
}

// vigilorb-peer fetch as the phone side: it derives channel and token from the key, fetches,
// opens and prints; --watch follows the event stream.
class PeerFetch : public ::testing::Test {
protected:
    Finished fetch(std::vector<std::string> extra, std::map<std::string, std::string> env = baseEnvironment()) {
        std::vector<std::string> argv = {(binDir() / "vigilorb-peer").string(), "fetch"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return run(argv, env);
    }
    std::vector<std::string> target(const RelayProcess& relay, const RelayParty& p, const std::string& scheme = "http") {
        return {"--relay", scheme + "://127.0.0.1:" + std::to_string(relay.port()), "--companion", p.companionID,
                "--key", security::crypto::hexLowercase(p.key.bytes())};
    }
    static std::string payload(int n) { return R"({"generatedAt":)" + std::to_string(n) + R"(,"tasks":[]})"; }

    TempDir dir;
    RelayParty party{ada};
};

TEST_F(PeerFetch, FetchesOpensAndPrints) {
    RelayProcess relay({"--data", (dir / "data").string()});
    ASSERT_EQ(put(relay.port(), party, party.envelope(3, payload(3))).status, 204);
    auto fetched = fetch(target(relay, party));
    EXPECT_EQ(fetched.status, 0) << fetched.err;
    EXPECT_EQ(fetched.out, payload(3) + "\n");

    struct Case {
        const char* name;
        RelayParty who;
        const char* error;
    } cases[] = {
        // Another key derives another channel, where nothing is stored.
        {"wrong key", RelayParty(ada, "not the pairing key"), "notFound"},
        {"nothing uploaded", RelayParty("mac-never-uploaded"), "notFound"},
    };
    for (const auto& c : cases) {
        auto refused = fetch(target(relay, c.who));
        EXPECT_EQ(refused.status, 1) << c.name;
        EXPECT_EQ(refused.err, std::string(c.error) + "\n") << c.name;
    }
    // The right channel with the wrong token.
    RelayParty impostor(ada, "not the pairing key");
    auto wrongToken = http(relay.port(), "GET", sourcePath(party),
                           {{"Authorization", "Bearer " + impostor.credentials.accessToken}}, {}, honest);
    EXPECT_EQ(wrongToken.status, 401);
    EXPECT_EQ(fetch({"--relay", "ftp://x", "--companion", ada, "--key", security::crypto::hexLowercase(party.key.bytes())}).err,
              "invalidRelayAddress\n");
}

TEST_F(PeerFetch, NeverGoesBackwards) {
    // A relay that lost its data (or was restored from an old backup) serves an older
    // envelope than the reader has seen: the reader refuses it.
    auto state = (dir / "last-sequence.json").string();
    {
        RelayProcess relay({"--data", (dir / "first").string()});
        ASSERT_EQ(put(relay.port(), party, party.envelope(8, payload(8))).status, 204);
        auto args = target(relay, party);
        args.insert(args.end(), {"--sequence-file", state});
        EXPECT_EQ(fetch(args).out, payload(8) + "\n");
        EXPECT_EQ(fetch(args).out, payload(8) + "\n");  // the same envelope again is fine
    }
    RelayProcess older({"--data", (dir / "second").string()});
    ASSERT_EQ(put(older.port(), party, party.envelope(5, payload(5))).status, 204);
    auto args = target(older, party);
    args.insert(args.end(), {"--sequence-file", state});
    auto refused = fetch(args);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "staleSequence\n");
    EXPECT_EQ(refused.out, "");

    // Following the stream: 5 and 7 are not above 8 and stay silent; 9 is printed.
    auto watchArgs = std::vector<std::string>{(binDir() / "vigilorb-peer").string(), "fetch", "--watch"};
    watchArgs.insert(watchArgs.end(), args.begin(), args.end());
    ChildProcess watcher(watchArgs, baseEnvironment());
    ASSERT_EQ(put(older.port(), party, party.envelope(7, payload(7))).status, 204);
    ASSERT_EQ(put(older.port(), party, party.envelope(9, payload(9))).status, 204);
    EXPECT_TRUE(eventually([&] {
        watcher.running();
        return watcher.out().find('\n') != std::string::npos;
    }));
    EXPECT_EQ(watcher.out(), payload(9) + "\n");
}

TEST_F(PeerFetch, WatchPrintsEachNewPayloadAsOneLine) {
    RelayProcess relay({"--data", (dir / "data").string()});
    ASSERT_EQ(put(relay.port(), party, party.envelope(1, payload(1))).status, 204);
    auto argv = std::vector<std::string>{(binDir() / "vigilorb-peer").string(), "fetch", "--watch"};
    auto args = target(relay, party);
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess watcher(argv, baseEnvironment());
    auto lines = [&] {
        watcher.running();
        return std::count(watcher.out().begin(), watcher.out().end(), '\n');
    };
    ASSERT_TRUE(eventually([&] { return lines() >= 1; }));
    for (int n = 2; n <= 4; ++n) {
        ASSERT_EQ(put(relay.port(), party, party.envelope(static_cast<std::uint64_t>(n), payload(n))).status, 204);
        ASSERT_TRUE(eventually([&] { return lines() >= n; })) << n;
    }
    EXPECT_EQ(watcher.out(), payload(1) + "\n" + payload(2) + "\n" + payload(3) + "\n" + payload(4) + "\n");
    EXPECT_EQ(watcher.err(), "");
}

TEST_F(PeerFetch, WithTheStoredPairingOverTLS) {
    ASSERT_TRUE(makeTestCertificates(dir));
    RelayProcess relay({"--data", (dir / "data").string(), "--tls-cert", (dir / "server.pem").string(), "--tls-key",
                        (dir / "server.key").string()});
    auto base = "https://127.0.0.1:" + std::to_string(relay.port());
    // Pair as the phone does: scan the invitation, which names the relay.
    Date now = Date::now();
    auto invitation = security::PairingInvitation::generate(security::CompanionIdentity{ada, "Ada's workstation"}, base, now).value();
    RelayParty paired(ada, security::LocalPairingKey::deriveFromInvitation(invitation, now).value());
    auto pairingFile = (dir / "phone" / "pairing.json").string();
    auto peer = (binDir() / "vigilorb-peer").string();
    auto notYet = run({peer, "fetch", "--state", pairingFile}, baseEnvironment());
    EXPECT_EQ(notYet.err, "notPaired\n");
    ASSERT_EQ(run({peer, "pair", "--state", pairingFile}, baseEnvironment(), invitation.qrPayload().value()).status, 0);

    auto env = baseEnvironment();
    env["SSL_CERT_FILE"] = (dir / "ca.pem").string();
    ASSERT_EQ(run({"/usr/bin/curl", "-sS", "-X", "PUT", "-H", "Authorization: Bearer " + paired.credentials.accessToken,
                   "-H", "Content-Type: application/json", "--data-binary", paired.envelope(2, payload(2)),
                   base + sourcePath(paired)},
                  env)
                  .status,
              0);
    auto trusted = run({peer, "fetch", "--state", pairingFile}, env);
    EXPECT_EQ(trusted.status, 0) << trusted.err;
    EXPECT_EQ(trusted.out, payload(2) + "\n");
    env["SSL_CERT_FILE"] = (dir / "server.key").string();  // not a CA: nothing is trusted
    auto untrusted = run({peer, "fetch", "--state", pairingFile}, env);
    EXPECT_EQ(untrusted.status, 1);
    EXPECT_EQ(untrusted.err, "relayUnavailable\n");
}
