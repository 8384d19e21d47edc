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

// What one poll carries over to the next: the rollout cursors (never persisted) and the
// names of the session index as last read.
struct CaptureState {
    LifecycleCursors cursors;
    SessionIndexCache sessionIndex;
};

// One poll of a Codex home: thread rows, names, rollout lifecycles, task derivation. Runs off the
// main thread. Updates state.cursors only on success.
std::expected<CaptureSnapshot, LocalObserverError> capture(const std::string& accountID,
                                                           const std::filesystem::path& codexHome,
                                                           CaptureState& state, Date now);

// Tasks of the threads that are live or finished recently, in record order.
std::vector<TaskSnapshot> deriveTasks(const std::string& accountID, const std::vector<CodexLocalThreadRecord>& records,
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
