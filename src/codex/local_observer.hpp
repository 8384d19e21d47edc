#pragma once
#include <expected>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "codex/rollout_scanner.hpp"
#include "codex/session_index.hpp"
#include "codex/thread_database.hpp"
#include "model/records.hpp"

namespace vigilorb::codex {

inline constexpr double observerPollSeconds = 3;
inline constexpr double activeStateLifetimeSeconds = 180;
inline constexpr double finishedStateLifetimeSeconds = 300;

using LifecycleCursors = std::map<std::string, CodexRolloutLifecycleCursor>;  // rollout path → cursor

struct CaptureSnapshot {
    std::set<std::string> indexedIDs;
    std::vector<TaskSnapshot> tasks;
    LifecycleCursors lifecycleCursors;
};

// Identity of a file for the change checks: a file whose identity is unchanged is taken to
// hold what it held (Codex replaces or appends; it never rewrites in place at equal size within
// one timestamp tick). The status-change time is left out: every read-only SQLite connection
// changes it on the write-ahead log. A file that could not be read is read again anyway.
struct FileIdentity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modifiedSeconds = 0, modifiedNanoseconds = 0;
    bool operator==(const FileIdentity&) const = default;
};
// Nothing when the path cannot be examined.
std::optional<FileIdentity> identityOf(const std::filesystem::path& path);

// What one poll carries over to the next: the rollout cursors (never persisted), the names of
// the session index as last read, and what the change checks need.
struct CaptureState {
    LifecycleCursors cursors;
    SessionIndexCache sessionIndex;

    // The thread rows as last read, from which database, with the identities of the database
    // and its write-ahead log then: unchanged files are not opened again.
    std::optional<std::filesystem::path> database;
    std::optional<FileIdentity> databaseIdentity, walIdentity;
    std::vector<ThreadRow> rows;
    // Per rollout path: its identity when its cursor reached the end of it. An unchanged
    // rollout is not opened again.
    std::map<std::string, FileIdentity> rollouts;

    // What the last poll derived its tasks from (or how it failed), for recapture().
    struct Derivation {
        std::vector<CodexLocalThreadRecord> records;
        std::map<std::string, CodexLocalActivityRecord> activities;
        std::set<std::string> indexedIDs;
    };
    std::optional<std::expected<Derivation, LocalObserverError>> last;
    // Whether every rollout of the last poll lies in the Codex home (so a watch of the home's
    // folders sees every change that poll depended on).
    bool rolloutsInHome = false;

    // How often the database was read and rollouts were opened (for tests and benchmarks).
    std::uint64_t databaseReads = 0, rolloutScans = 0;
};

// One poll of a Codex home: thread rows, names, rollout lifecycles, task derivation. Runs off the
// main thread. Updates state.cursors only on success. The database is read again only when it
// or its write-ahead log changed, a rollout only when it changed; the result is the same as
// reading everything.
std::expected<CaptureSnapshot, LocalObserverError> capture(const std::string& accountID,
                                                           const std::filesystem::path& codexHome,
                                                           CaptureState& state, Date now);

// The result capture() would give when no file changed since the last capture (which must have
// run): the last poll's records, derived again at `now`, without touching the file system.
std::expected<CaptureSnapshot, LocalObserverError> recapture(const std::string& accountID, const CaptureState& state,
                                                             Date now);

// Tasks of the threads that are live or finished recently, in record order.
std::vector<TaskSnapshot> deriveTasks(const std::string& accountID, const std::vector<CodexLocalThreadRecord>& records,
                                      const std::map<std::string, CodexLocalActivityRecord>& activities, Date now);

// Until when deriveTasks gives at any later time what it gives at `now`: the first instant a
// derived task outlives its state's lifetime (a task once dropped never comes back as time
// goes on). Nothing when no task is left to drop.
std::optional<Date> derivedTasksSameUntil(const std::vector<CodexLocalThreadRecord>& records,
                                          const std::map<std::string, CodexLocalActivityRecord>& activities, Date now);

// <home>/.codex: the Codex home of the default profile.
std::filesystem::path defaultCodexHome(const std::filesystem::path& homeDirectory);

// What the observer reports after a poll: the status text and whether it is healthy.
struct ObserverStatus {
    std::string detail;
    bool isHealthy = false;
    bool operator==(const ObserverStatus&) const = default;
};
ObserverStatus observerStatus(const std::expected<CaptureSnapshot, LocalObserverError>& result);

}  // namespace vigilorb::codex
