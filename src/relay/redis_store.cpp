#include "relay/redis_store.hpp"

#include <hiredis/hiredis.h>
#include <poll.h>

#include <charconv>
#include <cmath>
#include <map>

namespace vigilorb::relay {

namespace {

// The upload rule, atomic in Redis. Sequences are compared as decimal text (Lua numbers are
// doubles and would round above 2^53).
constexpr const char* putScript = R"lua(
local bound = redis.call('GET', KEYS[1])
if bound and bound ~= ARGV[1] then return 'wrongToken' end
local function above(a, b)
  if #a ~= #b then return #a > #b end
  return a > b
end
local expiredBefore = tonumber(ARGV[7])
local current = redis.call('HGET', KEYS[2], ARGV[2])
local known = false
if current then
  local seq, updated = string.match(current, '^(%d+) %S+ (%S+)$')
  if seq and tonumber(updated) >= expiredBefore then
    known = true
    if not above(ARGV[3], seq) then return 'staleSequence' end
  end
end
if not known then
  local live = 0
  local all = redis.call('HGETALL', KEYS[2])
  for i = 1, #all, 2 do
    if all[i] ~= ARGV[2] then
      local updated = tonumber(string.match(all[i + 1], ' (%S+)$'))
      if updated and updated >= expiredBefore then
        live = live + 1
      else
        redis.call('HDEL', KEYS[2], all[i])
        redis.call('HDEL', KEYS[3], all[i])
      end
    end
  end
  if live >= tonumber(ARGV[8]) then return 'tooManySources' end
end
if not bound then redis.call('SET', KEYS[1], ARGV[1]) end
redis.call('HSET', KEYS[2], ARGV[2], ARGV[3] .. ' ' .. ARGV[4] .. ' ' .. ARGV[5])
redis.call('HSET', KEYS[3], ARGV[2], ARGV[6])
local ttl = tonumber(ARGV[9])
for i = 1, 3 do redis.call('EXPIRE', KEYS[i], ttl) end
redis.call('PUBLISH', ARGV[11], ARGV[10] .. '\n' .. ARGV[2] .. '\n' .. ARGV[3] .. '\n' .. ARGV[6])
return 'stored'
)lua";

struct ReplyDeleter {
    void operator()(redisReply* r) const { freeReplyObject(r); }
};
using Reply = std::unique_ptr<redisReply, ReplyDeleter>;

std::string text(const redisReply* r) { return r && r->str ? std::string(r->str, r->len) : std::string(); }

std::string decimal(double value) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return ec == std::errc() ? std::string(buffer, end) : "0";
}

struct Meta {
    std::uint64_t sequence = 0;
    double generatedAt = 0;
    double updatedAt = 0;
};

std::optional<Meta> parseMeta(std::string_view text) {
    Meta m;
    auto first = text.find(' '), second = text.rfind(' ');
    if (first == std::string_view::npos || second == first) return std::nullopt;
    auto a = text.substr(0, first), b = text.substr(first + 1, second - first - 1), c = text.substr(second + 1);
    if (std::from_chars(a.data(), a.data() + a.size(), m.sequence).ec != std::errc() ||
        std::from_chars(b.data(), b.data() + b.size(), m.generatedAt).ec != std::errc() ||
        std::from_chars(c.data(), c.data() + c.size(), m.updatedAt).ec != std::errc())
        return std::nullopt;
    return m;
}

}  // namespace

std::optional<RedisAddress> parseRedisURL(std::string_view url) {
    RedisAddress a;
    if (url.starts_with("unix:")) {
        a.socketPath = std::string(url.substr(5));
        if (a.socketPath.starts_with("//")) a.socketPath = a.socketPath.substr(2);
        return a.socketPath.empty() ? std::nullopt : std::optional(a);
    }
    if (!url.starts_with("redis://")) return std::nullopt;
    url.remove_prefix(8);
    if (auto at = url.rfind('@'); at != std::string_view::npos) {
        auto credentials = url.substr(0, at);
        auto colon = credentials.find(':');
        a.password = std::string(colon == std::string_view::npos ? credentials : credentials.substr(colon + 1));
        url.remove_prefix(at + 1);
    }
    if (auto slash = url.find('/'); slash != std::string_view::npos) {
        auto db = url.substr(slash + 1);
        if (!db.empty() && std::from_chars(db.data(), db.data() + db.size(), a.database).ec != std::errc())
            return std::nullopt;
        url = url.substr(0, slash);
    }
    std::string_view host = url;
    if (url.starts_with('[')) {
        auto close = url.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = url.substr(1, close - 1);
        url.remove_prefix(close + 1);
        if (!url.empty() && !url.starts_with(':')) return std::nullopt;
    } else {
        auto colon = url.rfind(':');
        host = url.substr(0, colon);
        url = colon == std::string_view::npos ? std::string_view() : url.substr(colon);
    }
    if (url.starts_with(':')) {
        auto port = url.substr(1);
        if (std::from_chars(port.data(), port.data() + port.size(), a.port).ec != std::errc() || a.port <= 0 ||
            a.port > 65535)
            return std::nullopt;
    }
    a.host = std::string(host.empty() ? "127.0.0.1" : host);
    return a;
}

class RedisStore::Connection {
public:
    explicit Connection(redisContext* c) : c_(c) {}
    ~Connection() { redisFree(c_); }
    redisContext* context() const { return c_; }
    bool broken() const { return c_->err != 0; }

    Reply command(std::initializer_list<std::string_view> args) { return command(std::vector(args)); }
    Reply command(const std::vector<std::string_view>& args) {
        std::vector<const char*> argv;
        std::vector<std::size_t> lengths;
        for (auto a : args) {
            argv.push_back(a.data());
            lengths.push_back(a.size());
        }
        Reply r(static_cast<redisReply*>(
            redisCommandArgv(c_, static_cast<int>(argv.size()), argv.data(), lengths.data())));
        if (!r) throw StoreUnavailable(std::string("redis: ") + c_->errstr);
        if (r->type == REDIS_REPLY_ERROR && !text(r.get()).starts_with("NOSCRIPT"))
            throw StoreUnavailable("redis: " + text(r.get()));
        return r;
    }
    // Sends several commands in one round trip.
    std::vector<Reply> pipeline(const std::vector<std::vector<std::string_view>>& commands) {
        for (const auto& args : commands) {
            std::vector<const char*> argv;
            std::vector<std::size_t> lengths;
            for (auto a : args) {
                argv.push_back(a.data());
                lengths.push_back(a.size());
            }
            redisAppendCommandArgv(c_, static_cast<int>(argv.size()), argv.data(), lengths.data());
        }
        std::vector<Reply> replies;
        for (std::size_t i = 0; i < commands.size(); ++i) {
            void* raw = nullptr;
            if (redisGetReply(c_, &raw) != REDIS_OK) throw StoreUnavailable(std::string("redis: ") + c_->errstr);
            Reply r(static_cast<redisReply*>(raw));
            if (r->type == REDIS_REPLY_ERROR) throw StoreUnavailable("redis: " + text(r.get()));
            replies.push_back(std::move(r));
        }
        return replies;
    }

    std::string scriptSHA;

private:
    redisContext* c_;
};

// A pooled connection, handed back on scope exit unless it broke.
class RedisStore::Lease {
public:
    explicit Lease(RedisStore& store) : store_(store) {
        std::unique_lock lock(store.poolMutex_);
        store.poolAvailable_.wait(lock, [&] { return !store.idle_.empty(); });
        connection_ = std::move(store.idle_.back());
        store.idle_.pop_back();
        lock.unlock();
        if (!connection_ || connection_->broken()) {
            try {
                connection_ = store.connect();
            } catch (...) {
                giveBack(nullptr);
                throw;
            }
        }
    }
    ~Lease() { giveBack(connection_ && !connection_->broken() ? std::move(connection_) : nullptr); }
    Connection* operator->() { return connection_.get(); }

private:
    void giveBack(std::unique_ptr<Connection> c) {
        {
            std::lock_guard lock(store_.poolMutex_);
            store_.idle_.push_back(std::move(c));
        }
        store_.poolAvailable_.notify_one();
    }
    RedisStore& store_;
    std::unique_ptr<Connection> connection_;
};

RedisStore::RedisStore(const std::string& url, std::string keyPrefix, std::size_t connections)
    : prefix_(std::move(keyPrefix)), eventsChannel_(prefix_ + "events") {
    auto address = parseRedisURL(url);
    if (!address) throw StoreUnavailable("not a Redis address: " + url);
    address_ = *address;
    idle_.push_back(connect());  // fails now rather than on the first request
    for (std::size_t i = 1; i < connections; ++i) idle_.push_back(nullptr);
    subscriberThread_ = std::thread([this] { listen(); });
    // Serve only once envelopes stored through other processes will be heard.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!subscribed_ && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

RedisStore::~RedisStore() {
    stopping_ = true;
    if (subscriberThread_.joinable()) subscriberThread_.join();
}

std::unique_ptr<RedisStore::Connection> RedisStore::connect() const {
    timeval timeout{5, 0};
    redisContext* c = address_.socketPath.empty()
                          ? redisConnectWithTimeout(address_.host.c_str(), address_.port, timeout)
                          : redisConnectUnixWithTimeout(address_.socketPath.c_str(), timeout);
    if (!c) throw StoreUnavailable("redis: out of memory");
    auto connection = std::make_unique<Connection>(c);
    if (c->err) throw StoreUnavailable(std::string("redis: ") + c->errstr);
    redisSetTimeout(c, timeout);
    redisEnableKeepAlive(c);
    if (!address_.password.empty()) connection->command({"AUTH", address_.password});
    if (address_.database != 0) connection->command({"SELECT", std::to_string(address_.database)});
    connection->scriptSHA = text(connection->command({"SCRIPT", "LOAD", putScript}).get());
    return connection;
}

std::optional<Bytes> RedisStore::binding(std::string_view channel) {
    Lease c(*this);
    auto r = c->command({"GET", prefix_ + "bind:" + std::string(channel)});
    if (r->type != REDIS_REPLY_STRING) return std::nullopt;
    auto bytes = text(r.get());
    return Bytes(bytes.begin(), bytes.end());
}

PutOutcome RedisStore::put(const PutRequest& r) {
    std::string channel(r.channel);
    std::string bind = prefix_ + "bind:" + channel, meta = prefix_ + "meta:" + channel,
                envelopes = prefix_ + "env:" + channel;
    std::string digest(r.tokenDigest.begin(), r.tokenDigest.end());
    std::string sequence = std::to_string(r.sequence);
    std::string generated = decimal(r.generatedAt.sinceReference), updated = decimal(r.now.unix());
    std::string expiredBefore = decimal(r.expiredBefore.unix()), maxSources = std::to_string(r.maxSources);
    // Redis forgets a channel a day after it would have expired here anyway.
    std::string ttl = std::to_string(static_cast<long long>(std::ceil(r.now - r.expiredBefore)) + 86400);
    Lease c(*this);
    std::vector<std::string_view> args = {"EVALSHA", c->scriptSHA, "3", bind, meta, envelopes, digest, r.source,
                                          sequence, generated, updated, r.envelope, expiredBefore, maxSources, ttl,
                                          channel, eventsChannel_};
    auto reply = c->command(args);
    if (reply->type == REDIS_REPLY_ERROR) {  // NOSCRIPT: the server lost its script cache
        c->scriptSHA = text(c->command({"SCRIPT", "LOAD", putScript}).get());
        args[1] = c->scriptSHA;
        reply = c->command(args);
    }
    auto outcome = text(reply.get());
    if (outcome == "stored") return PutOutcome::stored;
    if (outcome == "wrongToken") return PutOutcome::wrongToken;
    if (outcome == "staleSequence") return PutOutcome::staleSequence;
    if (outcome == "tooManySources") return PutOutcome::tooManySources;
    throw StoreUnavailable("redis: unexpected script answer " + outcome);
}

std::optional<std::string> RedisStore::envelope(std::string_view channel, std::string_view source,
                                                Date expiredBefore) {
    std::string ch(channel);
    std::string meta = prefix_ + "meta:" + ch, envelopes = prefix_ + "env:" + ch;
    Lease c(*this);
    auto replies = c->pipeline({{"HGET", meta, source}, {"HGET", envelopes, source}});
    if (replies[0]->type != REDIS_REPLY_STRING || replies[1]->type != REDIS_REPLY_STRING) return std::nullopt;
    auto m = parseMeta(text(replies[0].get()));
    if (!m || m->updatedAt < expiredBefore.unix()) return std::nullopt;
    return text(replies[1].get());
}

std::vector<SourceSummary> RedisStore::sources(std::string_view channel, Date expiredBefore) {
    Lease c(*this);
    auto r = c->command({"HGETALL", prefix_ + "meta:" + std::string(channel)});
    std::map<std::string, SourceSummary> ordered;
    for (std::size_t i = 0; r->type == REDIS_REPLY_ARRAY && i + 1 < r->elements; i += 2) {
        auto m = parseMeta(text(r->element[i + 1]));
        if (!m || m->updatedAt < expiredBefore.unix()) continue;
        auto source = text(r->element[i]);
        ordered[source] = SourceSummary{source, m->sequence, Date::fromReference(m->generatedAt)};
    }
    std::vector<SourceSummary> out;
    for (auto& [source, summary] : ordered) out.push_back(std::move(summary));
    return out;
}

std::vector<StoredEnvelope> RedisStore::envelopes(std::string_view channel, Date expiredBefore) {
    std::string ch(channel);
    std::string meta = prefix_ + "meta:" + ch, envelopes = prefix_ + "env:" + ch;
    Lease c(*this);
    auto replies = c->pipeline({{"HGETALL", meta}, {"HGETALL", envelopes}});
    std::map<std::string, std::uint64_t> live;
    for (std::size_t i = 0; replies[0]->type == REDIS_REPLY_ARRAY && i + 1 < replies[0]->elements; i += 2) {
        auto m = parseMeta(text(replies[0]->element[i + 1]));
        if (m && m->updatedAt >= expiredBefore.unix()) live[text(replies[0]->element[i])] = m->sequence;
    }
    std::map<std::string, StoredEnvelope> ordered;
    for (std::size_t i = 0; replies[1]->type == REDIS_REPLY_ARRAY && i + 1 < replies[1]->elements; i += 2) {
        auto it = live.find(text(replies[1]->element[i]));
        if (it != live.end())
            ordered[it->first] = StoredEnvelope{it->first, text(replies[1]->element[i + 1]), it->second};
    }
    std::vector<StoredEnvelope> out;
    for (auto& [source, entry] : ordered) out.push_back(std::move(entry));
    return out;
}

void RedisStore::sweep(Date) {}

void RedisStore::setListener(EnvelopeListener listener) {
    std::lock_guard lock(listenerMutex_);
    listener_ = std::move(listener);
}

// The subscriber connection: reconnects after a failure, and polls so that it notices
// stopping within half a second.
void RedisStore::listen() {
    while (!stopping_) {
        std::unique_ptr<Connection> c;
        try {
            c = connect();
            redisAppendCommand(c->context(), "SUBSCRIBE %b", eventsChannel_.data(), eventsChannel_.size());
            int done = 0;
            while (!done)
                if (redisBufferWrite(c->context(), &done) != REDIS_OK) throw StoreUnavailable("redis: write failed");
        } catch (const StoreUnavailable&) {
            subscribed_ = false;
            for (int i = 0; i < 10 && !stopping_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        while (!stopping_) {
            pollfd p{c->context()->fd, POLLIN, 0};
            int n = ::poll(&p, 1, 500);
            if (n < 0 && errno == EINTR) continue;
            if (n == 0) continue;
            if (redisBufferRead(c->context()) != REDIS_OK) break;
            void* raw = nullptr;
            bool failed = false;
            while (true) {
                if (redisGetReplyFromReader(c->context(), &raw) != REDIS_OK) {
                    failed = true;
                    break;
                }
                if (!raw) break;
                Reply r(static_cast<redisReply*>(raw));
                if (r->type != REDIS_REPLY_ARRAY || r->elements != 3) continue;
                auto kind = text(r->element[0]);
                if (kind == "subscribe") {
                    subscribed_ = true;
                    continue;
                }
                if (kind != "message") continue;
                // channel \n source \n sequence \n envelope
                auto message = text(r->element[2]);
                std::size_t breaks[3];
                std::size_t from = 0;
                bool whole = true;
                for (auto& b : breaks) {
                    b = message.find('\n', from);
                    if (b == std::string::npos) whole = false;
                    if (!whole) break;
                    from = b + 1;
                }
                if (!whole) continue;
                StoredEnvelope stored{message.substr(breaks[0] + 1, breaks[1] - breaks[0] - 1),
                                      message.substr(breaks[2] + 1), 0};
                std::from_chars(message.data() + breaks[1] + 1, message.data() + breaks[2], stored.sequence);
                std::lock_guard lock(listenerMutex_);
                if (listener_) listener_(message.substr(0, breaks[0]), stored);
            }
            if (failed) break;
        }
        subscribed_ = false;
    }
}

}  // namespace vigilorb::relay
