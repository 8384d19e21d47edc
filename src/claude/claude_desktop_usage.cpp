#include "claude/claude_desktop_usage.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <system_error>

#include "claude/claude_desktop_files.hpp"
#include "model/files.hpp"

namespace vigilorb::claude {

namespace {

struct Sample {
    double timestampMilliseconds = 0;
    std::optional<std::string> organizationID;
    // Only the two keys that carry meaning are kept; the others are checked, then dropped.
    std::optional<double> fiveHour;
    std::optional<double> sevenDay;
};

// Decodes strictly: a missing required key or a value of the wrong type anywhere in the
// shape we read fails the whole history, like a typed decoder would.
std::expected<std::vector<Sample>, ProviderMessageParsingError> decodeHistory(std::string_view bytes) {
    const auto invalid = std::unexpected(ProviderMessageParsingError::invalidJSON);
    auto parsed = json::parse(bytes);
    if (!parsed || !parsed->is_object()) return invalid;
    const Json& doc = *parsed;
    auto samples = doc.find("samples");
    if (samples == doc.end() || !samples->is_array()) return invalid;
    std::vector<Sample> out;
    out.reserve(samples->size());
    for (const auto& item : *samples) {
        if (!item.is_object()) return invalid;
        Sample s;
        auto t = item.find("t");
        if (t == item.end() || !t->is_number()) return invalid;
        s.timestampMilliseconds = t->get<double>();
        if (auto org = item.find("org"); org != item.end() && !org->is_null()) {
            if (!org->is_string()) return invalid;
            s.organizationID = org->get<std::string>();
        }
        auto u = item.find("u");
        if (u == item.end() || !u->is_object()) return invalid;
        for (auto it = u->begin(); it != u->end(); ++it) {
            if (!it.value().is_number()) return invalid;
            if (it.key() == "fh") s.fiveHour = it.value().get<double>();
            else if (it.key() == "sd") s.sevenDay = it.value().get<double>();
        }
        out.push_back(std::move(s));
    }
    return out;
}

std::optional<double> value(const Sample& s, std::string_view key) { return key == "fh" ? s.fiveHour : s.sevenDay; }

double clampPercentage(double v) {
    if (!(v > 0)) return 0;  // also NaN, which JSON cannot carry but a merge input might
    return std::min(v, 100.0);
}

// Walks back from the newest sample to the point where the window started: the first
// sample whose value rose from zero or fell (a reset). The window ends one length later.
std::optional<Date> resetTime(const std::vector<const Sample*>& sorted, std::string_view key, double length) {
    if (sorted.empty()) return std::nullopt;
    auto newest = value(*sorted.back(), key);
    if (!newest || !(*newest > 0)) return std::nullopt;
    if (sorted.size() == 1) return std::nullopt;
    for (std::size_t i = sorted.size() - 1; i >= 1; --i) {
        const Sample& newer = *sorted[i];
        const Sample& older = *sorted[i - 1];
        double gap = (newer.timestampMilliseconds - older.timestampMilliseconds) / 1000;
        if (gap < 0 || gap > ClaudeDesktopUsageHistoryParser::maximumSampleGap) return std::nullopt;
        auto a = value(newer, key);
        auto b = value(older, key);
        if (!a || !b) return std::nullopt;
        if ((*a > 0 && *b <= 0) || *a < *b) return Date::fromUnix(newer.timestampMilliseconds / 1000 + length);
    }
    return std::nullopt;
}

std::string percentText(double used) { return std::to_string(static_cast<long long>(std::round(used))) + "%"; }

}  // namespace

std::expected<std::optional<AccountQuotaSnapshot>, ProviderMessageParsingError> ClaudeDesktopUsageHistoryParser::parse(
    std::string_view bytes, const std::string& accountID) {
    auto decoded = decodeHistory(bytes);
    if (!decoded) return std::unexpected(decoded.error());
    const auto& samples = *decoded;
    if (samples.empty()) return std::nullopt;

    const Sample* newest = &samples.front();
    for (const auto& s : samples)
        if (s.timestampMilliseconds > newest->timestampMilliseconds) newest = &s;

    std::vector<const Sample*> related;
    for (const auto& s : samples)
        if (s.organizationID == newest->organizationID) related.push_back(&s);
    std::stable_sort(related.begin(), related.end(), [](const Sample* a, const Sample* b) {
        return a->timestampMilliseconds < b->timestampMilliseconds;
    });

    struct WindowKey {
        std::string_view key;
        QuotaWindowKind kind;
        double length;
        long long minutes;
    };
    static constexpr WindowKey keys[] = {{"fh", QuotaWindowKind::fiveHour, fiveHourSeconds, 300},
                                         {"sd", QuotaWindowKind::sevenDay, sevenDaySeconds, 10080}};

    AccountQuotaSnapshot snapshot{std::nullopt, accountID, AIProvider::claude, {},
                                  Date::fromUnix(newest->timestampMilliseconds / 1000)};
    for (const auto& k : keys) {
        auto used = value(*newest, k.key);
        if (!used) continue;
        snapshot.windows.push_back(
            QuotaWindow{k.kind, clampPercentage(*used), resetTime(related, k.key, k.length), k.minutes});
    }
    if (snapshot.windows.empty()) return std::nullopt;
    return snapshot;
}

std::string_view usageErrorText(UsageObserverError error) {
    switch (error) {
        case UsageObserverError::historyMissing:
            return "Waiting for Claude Desktop to create local quota history";
        case UsageObserverError::historyUnreadable:
            return "Claude Desktop local quota history is temporarily unavailable";
        case UsageObserverError::usageUnavailable:
            return "Claude Desktop has not reported a five-hour or weekly quota yet";
    }
    return "Claude Desktop local quota history is temporarily unavailable";
}

std::string usageStatusText(const AccountQuotaSnapshot& snapshot) {
    std::vector<std::string> parts;
    auto first = [&](QuotaWindowKind kind) {
        return std::find_if(snapshot.windows.begin(), snapshot.windows.end(),
                            [&](const QuotaWindow& w) { return w.kind == kind; });
    };
    if (auto w = first(QuotaWindowKind::fiveHour); w != snapshot.windows.end())
        parts.push_back("5h " + percentText(w->usedPercentage));
    if (auto w = first(QuotaWindowKind::sevenDay); w != snapshot.windows.end())
        parts.push_back("7d " + percentText(w->usedPercentage));
    std::string text = "Claude Desktop quota connected";
    for (const auto& p : parts) text += " · " + p;
    return text;
}

UsageCapture captureUsage(const std::optional<std::filesystem::path>& historyFile, const std::string& accountID) {
    if (!historyFile) return std::unexpected(UsageObserverError::historyMissing);
    std::error_code ec;
    if (!std::filesystem::exists(*historyFile, ec)) return std::unexpected(UsageObserverError::historyMissing);
    auto read = files::read(*historyFile, usageHistoryReadLimit);
    if (!read)
        return std::unexpected(read.error().code == files::FileError::notFound ? UsageObserverError::historyMissing
                                                                                : UsageObserverError::historyUnreadable);
    auto snapshot = ClaudeDesktopUsageHistoryParser::parse(*read, accountID);
    if (!snapshot) return std::unexpected(UsageObserverError::historyUnreadable);
    if (!*snapshot) return std::unexpected(UsageObserverError::usageUnavailable);
    return **snapshot;
}

AccountQuotaSnapshot mergeUsageQuota(const AccountQuotaSnapshot& fresh, const std::optional<AccountQuotaSnapshot>& stored,
                                     Date now) {
    if (!stored || stored->provider != fresh.provider || stored->accountID != fresh.accountID) return fresh;
    if (!(fresh.capturedAt > stored->capturedAt)) return *stored;

    std::map<QuotaWindowKind, const QuotaWindow*> storedByKind;
    for (const auto& w : stored->windows) storedByKind.emplace(w.kind, &w);  // the first of a kind wins

    AccountQuotaSnapshot merged{std::nullopt, fresh.accountID, fresh.provider, {}, fresh.capturedAt};
    for (const auto& w : fresh.windows) {
        auto previous = storedByKind.find(w.kind);
        if (!w.resetsAt && previous != storedByKind.end() && previous->second->resetsAt &&
            *previous->second->resetsAt > now) {
            merged.windows.push_back(
                QuotaWindow{w.kind, clampPercentage(w.usedPercentage), previous->second->resetsAt, w.durationMinutes});
        } else {
            merged.windows.push_back(w);
        }
    }
    return merged;
}

UsagePollingState::Outcome UsagePollingState::onCapture(const UsageCapture& capture) {
    if (!capture) return {std::nullopt, std::string(usageErrorText(capture.error())), false};
    Outcome outcome{std::nullopt, usageStatusText(*capture), true};
    if (!lastCapturedAt_ || capture->capturedAt > *lastCapturedAt_) {
        lastCapturedAt_ = capture->capturedAt;
        outcome.handOver = *capture;
    }
    return outcome;
}

}  // namespace vigilorb::claude
