#pragma once
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "model/date.hpp"
#include "model/error.hpp"

struct sqlite3;

namespace vigilorb::codex {

enum class LocalObserverError { stateDatabaseMissing, queryFailed };

struct ThreadRow {
    std::string id;
    std::string rolloutPath;
    std::int64_t updatedAt = 0;  // Unix seconds, as stored
    std::optional<std::string> name;
    bool operator==(const ThreadRow&) const = default;
};

struct CodexLocalThreadRecord {
    std::string id;
    std::optional<std::string> name;
    Date updatedAt;
    bool operator==(const CodexLocalThreadRecord&) const = default;
};

// The newest state_<n>.sqlite in the Codex home or its sqlite subfolder: highest n, then the
// most recently modified. Hidden files and other extensions do not count.
std::optional<std::filesystem::path> findStateDatabase(std::string_view prefix, const std::filesystem::path& codexHome);

// The visible top-level threads, newest first. Opens the database read-only (Codex writes it at
// the same time) and adapts the query to the columns this Codex version has.
// Fails with queryFailed (SQLite's message as the detail).
[[nodiscard]] std::expected<std::vector<ThreadRow>, Error<LocalObserverError>> readThreads(
    const std::filesystem::path& database);

// Column names of table `threads`; fails with queryFailed.
[[nodiscard]] std::expected<std::set<std::string>, Error<LocalObserverError>> readColumnNames(sqlite3* db);

// The query readThreads runs for a table with these columns.
std::string threadQuery(const std::set<std::string>& columns);

}  // namespace vigilorb::codex
