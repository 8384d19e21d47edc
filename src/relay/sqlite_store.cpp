#include "relay/sqlite_store.hpp"

#include <sqlite3.h>
#include <sys/stat.h>

#include <system_error>

namespace vigilorb::relay {

namespace {
[[noreturn]] void unavailable(sqlite3* db, const char* what) {
    throw StoreUnavailable(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}
}  // namespace

// A prepared statement, finalised on scope exit.
class SQLiteStore::Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) unavailable(db, "prepare");
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int i, std::string_view text) {
        check(sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int i, const Bytes& blob) {
        check(sqlite3_bind_blob(stmt_, i, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int i, double value) {
        check(sqlite3_bind_double(stmt_, i, value));
        return *this;
    }
    // Sequences are unsigned 64-bit; SQLite keeps their bit pattern and C++ compares them.
    Statement& bind(int i, std::uint64_t value) {
        check(sqlite3_bind_int64(stmt_, i, static_cast<sqlite3_int64>(value)));
        return *this;
    }
    // True while a row is available.
    bool step() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        unavailable(db_, "step");
    }
    std::string text(int column) const {
        auto p = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
        return std::string(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
    }
    Bytes blob(int column) const {
        auto p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
        return Bytes(p, p + sqlite3_column_bytes(stmt_, column));
    }
    std::uint64_t sequence(int column) const { return static_cast<std::uint64_t>(sqlite3_column_int64(stmt_, column)); }
    double real(int column) const { return sqlite3_column_double(stmt_, column); }

private:
    void check(int rc) {
        if (rc != SQLITE_OK) unavailable(db_, "bind");
    }
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

SQLiteStore::SQLiteStore(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) throw StoreUnavailable("cannot create " + folder.string() + ": " + ec.message());
    ::chmod(folder.c_str(), 0700);
    auto file = folder / "relay.sqlite3";
    mode_t old = ::umask(077);
    int rc = sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    ::umask(old);
    if (rc != SQLITE_OK) {
        std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw StoreUnavailable("cannot open " + file.string() + ": " + message);
    }
    sqlite3_busy_timeout(db_, 5000);
    try {
        exec("PRAGMA journal_mode=WAL");
        // WAL with NORMAL survives a crash of the relay; a power loss may lose the last
        // uploads, which the companion sends again on its next change.
        exec("PRAGMA synchronous=NORMAL");
        exec("CREATE TABLE IF NOT EXISTS channels(channel TEXT PRIMARY KEY, token_digest BLOB NOT NULL) WITHOUT ROWID");
        exec("CREATE TABLE IF NOT EXISTS envelopes(channel TEXT NOT NULL, source TEXT NOT NULL, sequence INTEGER NOT NULL,"
             " generated_at REAL NOT NULL, updated_at REAL NOT NULL, envelope BLOB NOT NULL,"
             " PRIMARY KEY(channel, source)) WITHOUT ROWID");
        exec("CREATE INDEX IF NOT EXISTS envelopes_by_update ON envelopes(updated_at)");
    } catch (...) {
        sqlite3_close(db_);
        throw;
    }
}

SQLiteStore::~SQLiteStore() { sqlite3_close(db_); }

void SQLiteStore::exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw StoreUnavailable(std::string(sql) + ": " + message);
    }
}

std::optional<Bytes> SQLiteStore::binding(std::string_view channel) {
    std::lock_guard lock(mutex_);
    Statement s(db_, "SELECT token_digest FROM channels WHERE channel = ?");
    s.bind(1, channel);
    if (!s.step()) return std::nullopt;
    return s.blob(0);
}

PutOutcome SQLiteStore::put(const PutRequest& request) {
    std::lock_guard lock(mutex_);
    exec("BEGIN IMMEDIATE");
    PutOutcome outcome;
    try {
        outcome = putLocked(request);
        exec(outcome == PutOutcome::stored ? "COMMIT" : "ROLLBACK");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    // Under the lock, so subscribers see the envelopes of one source in the order stored.
    if (outcome == PutOutcome::stored && listener_)
        listener_(request.channel, StoredEnvelope{request.source, request.envelope, request.sequence});
    return outcome;
}

PutOutcome SQLiteStore::putLocked(const PutRequest& r) {
    {
        Statement s(db_, "SELECT token_digest FROM channels WHERE channel = ?");
        s.bind(1, r.channel);
        if (s.step()) {
            if (!security::crypto::constantTimeEqual(s.blob(0), r.tokenDigest)) return PutOutcome::wrongToken;
        } else {
            Statement insert(db_, "INSERT INTO channels(channel, token_digest) VALUES (?, ?)");
            insert.bind(1, r.channel).bind(2, r.tokenDigest).step();
        }
    }
    bool known = false;
    {
        Statement s(db_, "SELECT sequence, updated_at FROM envelopes WHERE channel = ? AND source = ?");
        s.bind(1, r.channel).bind(2, r.source);
        if (s.step() && s.real(1) >= r.expiredBefore.unix()) {
            known = true;
            if (r.sequence <= s.sequence(0)) return PutOutcome::staleSequence;
        }
    }
    if (!known) {
        Statement count(db_,
                        "SELECT count(*) FROM envelopes WHERE channel = ? AND source <> ? AND updated_at >= ?");
        count.bind(1, r.channel).bind(2, r.source).bind(3, r.expiredBefore.unix());
        count.step();
        if (static_cast<std::size_t>(count.sequence(0)) >= r.maxSources) return PutOutcome::tooManySources;
    }
    Statement upsert(db_,
                     "INSERT INTO envelopes(channel, source, sequence, generated_at, updated_at, envelope)"
                     " VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT(channel, source) DO UPDATE SET"
                     " sequence = excluded.sequence, generated_at = excluded.generated_at,"
                     " updated_at = excluded.updated_at, envelope = excluded.envelope");
    upsert.bind(1, r.channel)
        .bind(2, r.source)
        .bind(3, r.sequence)
        .bind(4, r.generatedAt.sinceReference)
        .bind(5, r.now.unix())
        .bind(6, security::crypto::bytesOf(r.envelope))
        .step();
    return PutOutcome::stored;
}

std::optional<std::string> SQLiteStore::envelope(std::string_view channel, std::string_view source,
                                                 Date expiredBefore) {
    std::lock_guard lock(mutex_);
    Statement s(db_, "SELECT envelope FROM envelopes WHERE channel = ? AND source = ? AND updated_at >= ?");
    s.bind(1, channel).bind(2, source).bind(3, expiredBefore.unix());
    if (!s.step()) return std::nullopt;
    return s.text(0);
}

std::vector<SourceSummary> SQLiteStore::sources(std::string_view channel, Date expiredBefore) {
    std::lock_guard lock(mutex_);
    Statement s(db_,
                "SELECT source, sequence, generated_at FROM envelopes WHERE channel = ? AND updated_at >= ?"
                " ORDER BY source");
    s.bind(1, channel).bind(2, expiredBefore.unix());
    std::vector<SourceSummary> out;
    while (s.step()) out.push_back(SourceSummary{s.text(0), s.sequence(1), Date::fromReference(s.real(2))});
    return out;
}

std::vector<StoredEnvelope> SQLiteStore::envelopes(std::string_view channel, Date expiredBefore) {
    std::lock_guard lock(mutex_);
    Statement s(db_,
                "SELECT source, envelope, sequence FROM envelopes WHERE channel = ? AND updated_at >= ?"
                " ORDER BY source");
    s.bind(1, channel).bind(2, expiredBefore.unix());
    std::vector<StoredEnvelope> out;
    while (s.step()) out.push_back(StoredEnvelope{s.text(0), s.text(1), s.sequence(2)});
    return out;
}

void SQLiteStore::sweep(Date expiredBefore) {
    std::lock_guard lock(mutex_);
    exec("BEGIN IMMEDIATE");
    try {
        Statement drop(db_, "DELETE FROM envelopes WHERE updated_at < ?");
        drop.bind(1, expiredBefore.unix()).step();
        exec("DELETE FROM channels WHERE NOT EXISTS (SELECT 1 FROM envelopes e WHERE e.channel = channels.channel)");
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void SQLiteStore::setListener(EnvelopeListener listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

}  // namespace vigilorb::relay
