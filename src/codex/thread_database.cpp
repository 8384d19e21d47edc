#include "codex/thread_database.hpp"

#include <sqlite3.h>
#include <sys/stat.h>

#include <charconv>

namespace vigilorb::codex {

namespace fs = std::filesystem;

namespace {

std::unexpected<Error<LocalObserverError>> queryFailed(std::string detail) {
    return std::unexpected(Error<LocalObserverError>{LocalObserverError::queryFailed, std::move(detail)});
}

long long versionOf(const fs::path& file, std::string_view prefix) {
    auto stem = file.stem().string();
    std::string_view digits = std::string_view(stem).substr(prefix.size());
    // An explicit plus sign reads as part of the number, as in any integer parse; from_chars
    // alone would refuse it.
    if (digits.size() > 1 && digits[0] == '+' && digits[1] >= '0' && digits[1] <= '9') digits.remove_prefix(1);
    long long v = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) return 0;
    return v;
}

std::optional<struct timespec> modifiedAt(const fs::path& file) {
    struct stat st{};
    if (::stat(file.c_str(), &st) != 0) return std::nullopt;
    return st.st_mtim;
}

bool later(const std::optional<struct timespec>& a, const std::optional<struct timespec>& b) {
    if (!a) return false;
    if (!b) return true;
    return a->tv_sec != b->tv_sec ? a->tv_sec > b->tv_sec : a->tv_nsec > b->tv_nsec;
}

struct Connection {
    sqlite3* db = nullptr;
    ~Connection() { sqlite3_close_v2(db); }
};

struct Statement {
    sqlite3_stmt* stmt = nullptr;
    ~Statement() { sqlite3_finalize(stmt); }
};

}  // namespace

std::optional<fs::path> findStateDatabase(std::string_view prefix, const fs::path& codexHome) {
    std::optional<fs::path> choice;
    long long choiceVersion = 0;
    std::optional<struct timespec> choiceModified;
    for (const auto& folder : {codexHome, codexHome / "sqlite"}) {
        std::error_code ec;
        fs::directory_iterator it(folder, ec);
        if (ec) continue;
        for (; it != fs::directory_iterator(); it.increment(ec)) {
            if (ec) break;
            auto name = it->path().filename().string();
            if (name.empty() || name[0] == '.' || !name.starts_with(prefix) || it->path().extension() != ".sqlite")
                continue;
            auto version = versionOf(it->path(), prefix);
            auto modified = modifiedAt(it->path());
            if (!choice || version > choiceVersion || (version == choiceVersion && later(modified, choiceModified))) {
                choice = it->path();
                choiceVersion = version;
                choiceModified = modified;
            }
        }
    }
    return choice;
}

std::expected<std::set<std::string>, Error<LocalObserverError>> readColumnNames(sqlite3* db) {
    Statement s;
    if (sqlite3_prepare_v2(db, "PRAGMA table_info(threads);", -1, &s.stmt, nullptr) != SQLITE_OK)
        return queryFailed(sqlite3_errmsg(db));
    std::set<std::string> columns;
    int rc;
    while ((rc = sqlite3_step(s.stmt)) == SQLITE_ROW) {
        if (auto* text = sqlite3_column_text(s.stmt, 1)) columns.emplace(reinterpret_cast<const char*>(text));
    }
    if (rc != SQLITE_DONE) return queryFailed(sqlite3_errmsg(db));
    return columns;
}

std::string threadQuery(const std::set<std::string>& columns) {
    std::string where = "archived = 0";
    if (columns.contains("thread_source"))
        where += " AND LOWER(TRIM(COALESCE(thread_source, ''))) NOT IN ('subagent', 'internal')";
    if (columns.contains("agent_path")) where += " AND agent_path IS NULL";
    if (columns.contains("source")) where += " AND COALESCE(source, '') NOT LIKE '%\"subagent\"%'";
    return std::string("SELECT id, rollout_path, updated_at, ") + (columns.contains("name") ? "name" : "NULL") +
           "\nFROM threads\nWHERE " + where + "\nORDER BY updated_at DESC, id DESC\n;";
}

std::expected<std::vector<ThreadRow>, Error<LocalObserverError>> readThreads(const fs::path& database) {
    Connection c;
    if (sqlite3_open_v2(database.c_str(), &c.db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
        return queryFailed(c.db ? sqlite3_errmsg(c.db) : "open failed");
    auto columns = readColumnNames(c.db);
    if (!columns) return std::unexpected(std::move(columns.error()));
    Statement s;
    if (sqlite3_prepare_v2(c.db, threadQuery(*columns).c_str(), -1, &s.stmt, nullptr) != SQLITE_OK)
        return queryFailed(sqlite3_errmsg(c.db));
    std::vector<ThreadRow> rows;
    int rc;
    while ((rc = sqlite3_step(s.stmt)) == SQLITE_ROW) {
        auto* id = sqlite3_column_text(s.stmt, 0);
        auto* rollout = sqlite3_column_text(s.stmt, 1);
        if (!id || !rollout) continue;
        ThreadRow row;
        row.id = reinterpret_cast<const char*>(id);
        row.rolloutPath = reinterpret_cast<const char*>(rollout);
        row.updatedAt = sqlite3_column_int64(s.stmt, 2);
        if (auto* name = sqlite3_column_text(s.stmt, 3)) row.name = std::string(reinterpret_cast<const char*>(name));
        rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) return queryFailed(sqlite3_errmsg(c.db));
    return rows;
}

}  // namespace vigilorb::codex
