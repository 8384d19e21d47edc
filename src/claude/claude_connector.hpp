#pragma once
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/error.hpp"
#include "model/json.hpp"
#include "model/paths.hpp"

namespace vigilorb::claude {

// The isolated Claude Code configuration folder of one account: Claude Code is started with
// CLAUDE_CONFIG_DIR pointing here, its settings run this program's status-line and hook modes,
// and those drop their events into the inbox beside the settings. The user's global Claude
// configuration is never read or written.

enum class ClaudeConnectorError { folderCreationFailed, executableNotFound, corruptSettings, writeFailed };
using ConnectorFailure = Error<ClaudeConnectorError>;

inline constexpr std::string_view connectorInstalledText =
    "Local Status Line and Hooks installed. Launch Claude with this CLAUDE_CONFIG_DIR";
inline constexpr std::string_view connectorPreservedText =
    "Hooks installed. An existing Status Line was preserved, so quota capture remains disabled";
inline constexpr std::string_view connectorFailedText =
    "Connector preparation failed; global configuration was not modified";
inline constexpr std::string_view connectorReadySummary = "Isolated Claude connector is ready";
inline constexpr std::string_view claudeCLIDetectedSummary =
    "Claude CLI detected · Ready to prepare an isolated connector";
inline constexpr std::string_view claudeCLIMissingSummary =
    "Claude CLI not detected · You can prepare an isolated connector";

// Claude Code's settings are a few kilobytes; a larger "settings.json" (or a FIFO, a device)
// is refused like a corrupt one instead of being loaded on the main thread.
inline constexpr std::size_t maxSettingsFileBytes = 4 << 20;

// Hook events the connector registers, in the order they are added. The first four are what the
// first connector wrote; the rest follow them so that preparing again upgrades such a file in
// place. A denied permission fires no hook, so the next prompt (UserPromptSubmit) or the end of
// the session (SessionEnd) is what clears its approval; PostToolUse reports an approved tool.
inline const std::vector<std::string> connectorHookEvents{
    "SessionStart",  "PermissionRequest", "Stop",        "TaskCompleted", "StopFailure",
    "TaskCreated",   "UserPromptSubmit",  "PostToolUse", "SessionEnd",
};

// <profiles root>/claude
std::filesystem::path claudeRoot(const std::filesystem::path& profilesRoot);
// <profiles root>/claude/<accountID>: the account's CLAUDE_CONFIG_DIR
std::filesystem::path claudeAccountFolder(const std::filesystem::path& profilesRoot, const std::string& accountID);
// <account folder>/inbox
std::filesystem::path claudeInboxFolder(const std::filesystem::path& profilesRoot, const std::string& accountID);

// POSIX shell single quoting: 'it'\''s'.
std::string shellQuoted(std::string_view text);

// Leading and trailing Unicode whitespace and newlines removed.
std::string trimmedAccountID(std::string_view raw);

struct ConnectorSettings {
    Json settings;
    bool statusLineInstalled = false;  // false: an existing "statusLine" was left as it was
};

// The merge of the connector's status line and hooks into existing settings (an object).
// Other keys stay as they are; a hook whose exact command is already registered for an event is
// not added again.
ConnectorSettings mergeConnectorSettings(Json existing, const std::string& statusLineCommand,
                                         const std::string& hookCommand);

// Pretty-printed, keys sorted, with a final newline; writeFailed when a string in it is not
// UTF-8 (the file is refused rather than rewritten with replacement characters).
[[nodiscard]] std::expected<std::string, ConnectorFailure> encodeSettings(const Json& settings);

struct ConnectorOutcome {
    std::string statusID;  // "Claude/" + trimmed account ID
    std::string detail;
    bool isHealthy = false;
    bool ready = false;  // the connector's settings were written
};

// Prepares the connector for the account typed by the user (raw text, trimmed here). Creates
// the inbox, reads or starts settings.json, merges and writes it atomically with mode 0600.
// `executable` is this program's own path; absent makes the preparation fail. Never throws.
ConnectorOutcome prepareClaudeConnector(std::string_view rawAccountID,
                                        const std::optional<std::filesystem::path>& profilesRoot,
                                        const std::optional<std::filesystem::path>& executable);

// Whether an executable file named "claude" is in an absolute PATH entry or one of the
// fallback folders (in that order).
inline const std::vector<std::filesystem::path> claudeCLIFallbackFolders{"/opt/homebrew/bin", "/usr/local/bin",
                                                                         "/usr/bin"};
bool detectClaudeCLI(const paths::Environment& env,
                     const std::vector<std::filesystem::path>& fallbackFolders = claudeCLIFallbackFolders);

}  // namespace vigilorb::claude
