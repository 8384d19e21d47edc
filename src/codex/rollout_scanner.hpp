#pragma once
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "model/date.hpp"
#include "model/error.hpp"

namespace vigilorb::codex {

enum class RolloutReadError { openFailed, seekFailed, readFailed };
using RolloutReadFailure = Error<RolloutReadError>;

// Latest logged time of each lifecycle event of one rollout file.
struct CodexRolloutLifecycleState {
    std::optional<Date> lastStartedAt, lastCompletedAt, lastFailedAt, lastCancelledAt, lastApprovalAt, lastUserInputAt;
    bool operator==(const CodexRolloutLifecycleState&) const = default;
};

// Resumable read position in one rollout file; lives in memory only.
struct CodexRolloutLifecycleCursor {
    std::uint64_t byteOffset = 0;
    std::string bufferedLine;
    bool isDiscardingOversizedLine = false;
    CodexRolloutLifecycleState lifecycle;
    bool operator==(const CodexRolloutLifecycleCursor&) const = default;
};

struct CodexLocalActivityRecord {
    std::string threadID;
    Date lastActivityAt;
    std::optional<Date> lastApprovalRequestAt, lastUserInputRequestAt, lastTaskStartedAt, lastTaskCompletedAt,
        lastTaskFailedAt, lastTaskCancelledAt;
    bool operator==(const CodexLocalActivityRecord&) const = default;
};

struct CodexRolloutLifecycleScanResult {
    std::optional<CodexLocalActivityRecord> activity;
    CodexRolloutLifecycleCursor cursor;
    bool operator==(const CodexRolloutLifecycleScanResult&) const = default;
};

inline constexpr std::size_t rolloutReadChunk = 0x80000;      // 512 KiB
inline constexpr std::size_t rolloutMaxLine = 0x10000;        // 64 KiB, line feed not counted
inline constexpr std::size_t rolloutMaxTailWindow = 0x2000000;  // 32 MiB

// Feeds bytes of a rollout into a cursor (no I/O). `fallbackDate` stands in for records without
// a usable timestamp. Does not touch byteOffset.
void feedRolloutBytes(CodexRolloutLifecycleCursor& cursor, std::string_view bytes, Date fallbackDate);

// Reads what was appended since `previous` (or bootstraps from the file's tail) and returns the
// activity and the new cursor, or why the file could not be read (`previous` is then still valid).
[[nodiscard]] std::expected<CodexRolloutLifecycleScanResult, RolloutReadFailure> scanRollout(
    const std::filesystem::path& file, const std::string& threadID, Date fallbackDate,
    const std::optional<CodexRolloutLifecycleCursor>& previous);

std::optional<CodexLocalActivityRecord> makeActivity(const std::string& threadID, Date fallbackDate,
                                                     const CodexRolloutLifecycleCursor& cursor);

}  // namespace vigilorb::codex
