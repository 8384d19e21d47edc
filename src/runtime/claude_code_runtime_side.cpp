#include "runtime/claude_code_runtime_side.hpp"

#include "claude/claude_connector.hpp"
#include "cli/claude_inbox.hpp"
#include "model/events.hpp"

#include <system_error>

namespace vigilorb::runtime {

ClaudeCodeRuntimeSide::ClaudeCodeRuntimeSide(ProviderRuntimeController& controller) : controller_(controller) {
    inboxTask_.setSingleShot(true);
    inboxTask_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&inboxTask_, &QTimer::timeout, &controller_, [this] { runInboxPass(); });
}

ClaudeCodeRuntimeSide::~ClaudeCodeRuntimeSide() { inboxTask_.stop(); }

namespace {

// The Claude root, each account folder in it and each account's inbox (watched before it
// exists, so that the first hook run of an account is seen too).
std::vector<std::filesystem::path> inboxFolders(const std::optional<std::filesystem::path>& profilesRoot) {
    if (!profilesRoot) return {};
    auto root = claude::claudeRoot(*profilesRoot);
    std::vector<std::filesystem::path> folders{root};
    std::error_code ec;
    for (std::filesystem::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        auto accountID = it->path().filename().string();
        if (!isValidAccountID(accountID)) continue;
        folders.push_back(it->path());
        folders.push_back(claude::claudeInboxFolder(*profilesRoot, accountID));
    }
    return folders;
}

// Files landing together (several hook runs at once) give one pass.
constexpr std::chrono::milliseconds inboxSettle{5};

}  // namespace

void ClaudeCodeRuntimeSide::startUp() {
    const auto& options = controller_.options();
    bool detected = claude::detectClaudeCLI(options.environment, options.claudeCLIFallbackFolders);
    controller_.setClaudeSummary(
        std::string(detected ? claude::claudeCLIDetectedSummary : claude::claudeCLIMissingSummary));
    inboxWatch_ = std::make_unique<FolderWatch>([root = controller_.profilesRoot()] { return inboxFolders(root); },
                                                std::vector<std::filesystem::path>{}, FolderWatch::Entries::arriving,
                                                inboxSettle);
    QObject::connect(inboxWatch_.get(), &FolderWatch::changed, &controller_, [this] { runInboxPass(); });
    // The first pass follows the start-up task (queued now, ahead of anything the other
    // sides' start-up steps queue); each pass then schedules the next.
    QMetaObject::invokeMethod(&controller_, [this] { runInboxPass(); }, Qt::QueuedConnection);
}

void ClaudeCodeRuntimeSide::prepareConnector(std::string_view rawAccountID) {
    auto outcome = claude::prepareClaudeConnector(rawAccountID, controller_.profilesRoot(),
                                                  controller_.options().executablePath());
    controller_.setAccountStatus(outcome.statusID, outcome.detail, outcome.isHealthy);
    if (outcome.ready) controller_.setClaudeSummary(std::string(claude::connectorReadySummary));
}

void ClaudeCodeRuntimeSide::drainInbox() {
    cli::drainPass(controller_.profilesRoot(), controller_.store(),
                   cli::DrainHandler{
                       [this](const store::CompanionSnapshot& s) { controller_.publish(s); },
                       [this](const std::string& id, std::string_view detail, bool healthy) {
                           controller_.setAccountStatus(id, detail, healthy);
                       },
                       controller_.options().stopRequested,
                       controller_.options().clock,
                   });
}

void ClaudeCodeRuntimeSide::runInboxPass() {
    drainInbox();
    emit controller_.claudeInboxDrained();
    inboxTask_.start(controller_.options().claudeInboxPeriod);
}

}  // namespace vigilorb::runtime
