#pragma once
#include <filesystem>
#include <memory>
#include <mutex>

#include "relay/store.hpp"

struct sqlite3;

namespace vigilorb::relay {

// The embedded store: one SQLite database in WAL mode (`relay.sqlite3` in the data folder).
// One connection, serialised by a mutex: every operation is a few indexed statements, so the
// lock is held for microseconds, and SQLite would serialise the writes anyway.
class SQLiteStore final : public Store {
public:
    // Creates the folder (mode 0700) and the database (0600) when missing; throws
    // StoreUnavailable when it cannot be opened.
    explicit SQLiteStore(const std::filesystem::path& folder);
    ~SQLiteStore() override;

    std::optional<Bytes> binding(std::string_view channel) override;
    PutOutcome put(const PutRequest& request) override;
    std::optional<std::string> envelope(std::string_view channel, std::string_view source,
                                        Date expiredBefore) override;
    std::vector<SourceSummary> sources(std::string_view channel, Date expiredBefore) override;
    std::vector<StoredEnvelope> envelopes(std::string_view channel, Date expiredBefore) override;
    void sweep(Date expiredBefore) override;
    void setListener(EnvelopeListener listener) override;

private:
    class Statement;
    void exec(const char* sql);
    PutOutcome putLocked(const PutRequest& request);

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    EnvelopeListener listener_;
};

}  // namespace vigilorb::relay
