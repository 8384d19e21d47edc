#pragma once
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "model/events.hpp"
#include "model/records.hpp"

// Claude Desktop's local plan-usage history, turned into one quota snapshot with the
// five-hour and seven-day windows.
namespace vigilorb::claude {

// Pure: bytes of plan-usage-history.json and the account to report under.
class ClaudeDesktopUsageHistoryParser {
public:
    static constexpr double fiveHourSeconds = 18000;
    static constexpr double sevenDaySeconds = 604800;
    // Samples further apart than this leave the start of a window unknown.
    static constexpr double maximumSampleGap = 600;

    // No snapshot when there are no samples or the newest one carries neither window;
    // invalidJSON for any decoding failure.
    [[nodiscard]] static std::expected<std::optional<AccountQuotaSnapshot>, ProviderMessageParsingError> parse(
        std::string_view bytes, const std::string& accountID);
};

enum class UsageObserverError { historyMissing, historyUnreadable, usageUnavailable };

std::string_view usageErrorText(UsageObserverError error);
// "Claude Desktop quota connected · 5h 42% · 7d 13%"
std::string usageStatusText(const AccountQuotaSnapshot& snapshot);

using UsageCapture = std::expected<AccountQuotaSnapshot, UsageObserverError>;

// The history is small (a sample is under 100 bytes); a file beyond this is not one we should
// hold in memory, and is reported as unreadable.
inline constexpr std::uintmax_t usageHistoryReadLimit = 64 * 1024 * 1024;

// Reads and parses the history file (nullopt path: no home, so no history).
UsageCapture captureUsage(const std::optional<std::filesystem::path>& historyFile, const std::string& accountID);

// Merges a new capture with the stored quota of the same account so that a reset time learnt
// earlier survives a capture that could not compute one, as long as it is still ahead of now.
AccountQuotaSnapshot mergeUsageQuota(const AccountQuotaSnapshot& fresh, const std::optional<AccountQuotaSnapshot>& stored,
                                     Date now);

// What one polling pass does with its capture: hand a newer snapshot to the runtime (at most
// once per capturedAt) and show a status text. Sans-I/O; the polling loop feeds it.
class UsagePollingState {
public:
    struct Outcome {
        std::optional<AccountQuotaSnapshot> handOver;
        std::string status;
        bool healthy = false;
    };

    Outcome onCapture(const UsageCapture& capture);
    // A fresh start forgets what was handed over, so the next success is handed over again.
    void reset() { lastCapturedAt_.reset(); }
    const std::optional<Date>& lastCapturedAt() const { return lastCapturedAt_; }

private:
    std::optional<Date> lastCapturedAt_;
};

}  // namespace vigilorb::claude
