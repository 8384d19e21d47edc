#include "claude/desktop_board.hpp"

#include "claude/claude_desktop_session_parser.hpp"
#include "model/events.hpp"
#include "model/text.hpp"

namespace vigilorb::claude {

namespace texts = desktop_texts;

std::string desktopCoworkRowID(const std::string& accountID) { return "Claude Desktop/" + accountID; }
std::string desktopUsageRowID(const std::string& accountID) { return "Claude Usage/" + accountID; }

DesktopBoard::Start DesktopBoard::start(std::string_view rawAccountID) {
    auto account = text::trimmed(rawAccountID, text::NotUTF8::trimASCII);
    if (!isValidAccountID(account)) {
        refusalShown_ = true;
        return {std::nullopt, {SetObserverLine{observerEnabled_, std::string(invalidAccountIDMessage)}}};
    }
    DesktopEffects out;
    if (account_ && *account_ != account) {
        out.emplace_back(RemoveRow{desktopCoworkRowID(*account_)});
        out.emplace_back(RemoveRow{desktopUsageRowID(*account_)});
    }
    refusalShown_ = false;
    clearFailurePending_ = false;
    observerEnabled_ = true;
    account_ = account;
    out.emplace_back(SetRow{{desktopCoworkRowID(account), std::string(texts::scanning), true}});
    out.emplace_back(SetObserverLine{true, std::string(texts::connecting)});
    return {std::move(account), std::move(out)};
}

DesktopEffects DesktopBoard::stop() {
    refusalShown_ = false;
    observerEnabled_ = false;
    DesktopEffects out{SetObserverLine{false, std::string(texts::stopped)}};
    if (account_) out.emplace_back(SetRow{{desktopCoworkRowID(*account_), std::string(texts::observerStopped), false}});
    account_.reset();
    out.emplace_back(SetClaudeSummary{std::string(texts::notEnabled)});
    return out;
}

DesktopEffects DesktopBoard::cleanupFailed(const std::string& accountID) const {
    return {SetRow{{desktopCoworkRowID(accountID), std::string(texts::cleanupFailed), false}}};
}

DesktopEffects DesktopBoard::coworkStatus(const std::string& text, bool healthy) {
    if (!account_) return {};
    DesktopEffects out;
    // After the first pass the observer's own text replaces "Connecting…" on the observer line.
    if (!refusalShown_) out.emplace_back(SetObserverLine{true, text});
    if (clearFailurePending_)
        clearFailurePending_ = false;
    else
        out.emplace_back(SetRow{{desktopCoworkRowID(*account_), text, healthy}});
    return out;
}

DesktopEffects DesktopBoard::usageStatus(const std::string& text, bool healthy) const {
    if (!account_) return {};
    return {SetRow{{desktopUsageRowID(*account_), text, healthy}}};
}

DesktopEffects DesktopBoard::coworkNotStored() const {
    if (!account_) return {};
    return {SetRow{{desktopCoworkRowID(*account_), std::string(storeFailureText), false}}};
}

DesktopEffects DesktopBoard::usageNotStored() const {
    if (!account_) return {};
    return {SetRow{{desktopUsageRowID(*account_), std::string(storeFailureText), false}}};
}

DesktopEffects DesktopBoard::clearFailed() {
    if (!account_) return {};
    clearFailurePending_ = true;
    return {SetRow{{desktopCoworkRowID(*account_), std::string(texts::clearFailed), false}}};
}

}  // namespace vigilorb::claude
