#pragma once
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/date.hpp"
#include "model/json.hpp"

namespace vigilorb {

enum class AIProvider { codex, claude };
enum class TaskState { running, waitingApproval, waitingInput, completed, failed, cancelled, stale, offline };
enum class QuotaWindowKind { fiveHour, sevenDay, primary, secondary };
enum class PendingActionKind { command, fileChange, permissions, userInput, unknown };

inline constexpr std::array allProviders{AIProvider::codex, AIProvider::claude};
inline constexpr std::array allTaskStates{TaskState::running,   TaskState::waitingApproval, TaskState::waitingInput,
                                          TaskState::completed, TaskState::failed,          TaskState::cancelled,
                                          TaskState::stale,     TaskState::offline};

std::string_view rawValue(AIProvider v);
std::string_view rawValue(TaskState v);
std::string_view rawValue(QuotaWindowKind v);
std::string_view rawValue(PendingActionKind v);

// Parse a raw value; nullopt for anything that is not exactly one of the case names.
template <class E>
std::optional<E> fromRawValue(std::string_view raw);

constexpr bool isActive(TaskState s) {
    return s == TaskState::running || s == TaskState::waitingApproval || s == TaskState::waitingInput;
}
constexpr bool isWaiting(TaskState s) { return s == TaskState::waitingApproval || s == TaskState::waitingInput; }
constexpr bool isTerminal(TaskState s) {
    return s == TaskState::completed || s == TaskState::failed || s == TaskState::cancelled;
}

struct QuotaWindow {
    QuotaWindowKind kind{};
    double usedPercentage = 0;
    std::optional<Date> resetsAt;
    std::optional<long long> durationMinutes;

    QuotaWindowKind id() const { return kind; }
    bool operator==(const QuotaWindow&) const = default;
};

struct AccountQuotaSnapshot {
    std::optional<std::string> sourceID;
    std::string accountID;
    AIProvider provider{};
    std::vector<QuotaWindow> windows;
    Date capturedAt;

    // "local" stands in for an absent source: local:claude:work
    std::string id() const;
    bool operator==(const AccountQuotaSnapshot&) const = default;
};

struct TaskSnapshot {
    std::string id;
    std::optional<std::string> sourceID;
    std::string accountID;
    AIProvider provider{};
    std::string title;
    TaskState state{};
    Date updatedAt;

    bool operator==(const TaskSnapshot&) const = default;
};

struct PendingAction {
    std::string id;
    std::optional<std::string> sourceID;
    std::string taskID;
    std::string accountID;
    AIProvider provider{};
    PendingActionKind kind{};
    Date requestedAt;

    bool operator==(const PendingAction&) const = default;
};

// Dates go out as a plain number; an integral value is written without a fraction (10, not 10.0).
Json dateToJson(Date d);

void to_json(Json& j, const QuotaWindow& v);
void from_json(const Json& j, QuotaWindow& v);
void to_json(Json& j, const AccountQuotaSnapshot& v);
void from_json(const Json& j, AccountQuotaSnapshot& v);
void to_json(Json& j, const TaskSnapshot& v);
void from_json(const Json& j, TaskSnapshot& v);
void to_json(Json& j, const PendingAction& v);
void from_json(const Json& j, PendingAction& v);

// A title is at most this many user-perceived characters and at most this many bytes. 500
// characters of any script fit in the bytes (4 bytes a scalar, a few combining marks more), but
// one character can be a base with a million combining marks: the byte bound is what keeps a
// task, the snapshot and the files that carry them small.
inline constexpr std::size_t maxTitleCharacters = 500;
inline constexpr std::size_t maxTitleBytes = 4096;
// Identifiers that agents hand us (session, task and thread IDs) are UUIDs or short counters;
// one beyond this many bytes is not one, and an ID cannot be shortened without changing what
// it names, so it is refused rather than cut.
inline constexpr std::size_t maxIdentifierBytes = 1024;

// Provider-supplied titles: whitespace runs collapse to one space, then at most
// maxTitleCharacters and maxTitleBytes, cut between characters (a single character longer
// than the byte bound is cut between its code points).
std::optional<std::string> normalizedTitle(const std::optional<std::string>& title);
bool isPlaceholderTitle(std::string_view title, AIProvider provider);

}  // namespace vigilorb
