#pragma once
// A generated Codex home: a state database with the real column set, rollouts and a session index.
#include <sqlite3.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#include "model/date.hpp"

// Tests build ThreadSpec with designated initializers that leave the other members at their
// defaults, which GCC 12 reports under -Wextra.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vigilorb::test {

// Opens (creating) a database read-write and runs statements; throws on any error.
class SqliteWriter {
public:
    explicit SqliteWriter(const std::filesystem::path& file) {
        if (sqlite3_open(file.c_str(), &db_) != SQLITE_OK) throw std::runtime_error("open " + file.string());
    }
    ~SqliteWriter() { sqlite3_close_v2(db_); }
    SqliteWriter(const SqliteWriter&) = delete;
    SqliteWriter& operator=(const SqliteWriter&) = delete;

    void exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            std::string message = error ? error : "sqlite error";
            sqlite3_free(error);
            throw std::runtime_error(message + " in " + sql);
        }
    }
    sqlite3* handle() { return db_; }

private:
    sqlite3* db_ = nullptr;
};

// The columns of Codex 0.171.0's threads table that matter here, plus a few of the others.
// A date as Codex writes it in rollouts and the session index (whole seconds, UTC).
inline std::string iso(Date d) {
    auto t = static_cast<std::time_t>(d.unix());
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
    return buf;
}

inline constexpr const char* codexThreadsTable = R"(CREATE TABLE threads (
    id TEXT PRIMARY KEY, rollout_path TEXT NOT NULL, created_at INTEGER, updated_at INTEGER,
    source TEXT NOT NULL, model_provider TEXT, cwd TEXT, title TEXT, sandbox_policy TEXT,
    archived INTEGER NOT NULL DEFAULT 0, agent_path TEXT, thread_source TEXT, name TEXT,
    updated_at_ms INTEGER, git_branch TEXT))";

inline std::string sqlText(const std::optional<std::string>& v) {
    if (!v) return "NULL";
    std::string out = "'";
    for (char c : *v) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out + "'";
}

struct ThreadSpec {
    std::string id;
    std::string rolloutPath;
    long long updatedAt = 0;
    std::optional<std::string> name;
    std::string source = "vscode";
    int archived = 0;
    std::optional<std::string> agentPath;
    std::optional<std::string> threadSource = std::string("user");
};

inline std::string insertThread(const ThreadSpec& t) {
    return "INSERT INTO threads (id, rollout_path, created_at, updated_at, source, archived, agent_path, "
           "thread_source, name, updated_at_ms) VALUES (" +
           sqlText(t.id) + ", " + sqlText(t.rolloutPath) + ", " + std::to_string(t.updatedAt) + ", " +
           std::to_string(t.updatedAt) + ", " + sqlText(t.source) + ", " + std::to_string(t.archived) + ", " +
           sqlText(t.agentPath) + ", " + sqlText(t.threadSource) + ", " + sqlText(t.name) + ", " +
           std::to_string(t.updatedAt * 1000) + ");";
}

inline std::string rolloutEvent(const std::string& type, const std::string& timestamp) {
    return R"({"timestamp":")" + timestamp + R"(","ordinal":1,"type":"event_msg","payload":{"type":")" + type +
           "\"}}\n";
}

inline void appendFile(const std::filesystem::path& file, const std::string& bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::app) << bytes;
}

}  // namespace vigilorb::test
