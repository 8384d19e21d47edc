#include "claude/claude_connector.hpp"

#include <sys/stat.h>

#include "model/events.hpp"
#include "model/files.hpp"
#include "model/text.hpp"

namespace vigilorb::claude {

namespace fs = std::filesystem;

fs::path claudeRoot(const fs::path& profilesRoot) { return profilesRoot / "claude"; }

fs::path claudeAccountFolder(const fs::path& profilesRoot, const std::string& accountID) {
    return claudeRoot(profilesRoot) / accountID;
}

fs::path claudeInboxFolder(const fs::path& profilesRoot, const std::string& accountID) {
    return claudeAccountFolder(profilesRoot, accountID) / "inbox";
}

std::string shellQuoted(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

std::string trimmedAccountID(std::string_view raw) {
    // Undecodable text cannot be a valid ID anyway; it stays as it is so that it is refused.
    return text::trimmed(raw);
}

namespace {

bool runsCommand(const Json& entry, const std::string& command) {
    if (!entry.is_object()) return false;
    auto hooks = entry.find("hooks");
    if (hooks == entry.end() || !hooks->is_array()) return false;
    for (const auto& hook : *hooks) {
        if (!hook.is_object()) continue;
        auto c = hook.find("command");
        if (c != hook.end() && c->is_string() && c->get_ref<const std::string&>() == command) return true;
    }
    return false;
}

bool isArrayOfObjects(const Json& v) {
    if (!v.is_array()) return false;
    for (const auto& e : v)
        if (!e.is_object()) return false;
    return true;
}

}  // namespace

ConnectorSettings mergeConnectorSettings(Json settings, const std::string& statusLineCommand,
                                         const std::string& hookCommand) {
    ConnectorSettings out;
    if (!settings.contains("statusLine")) {
        settings["statusLine"] = Json{{"type", "command"}, {"command", statusLineCommand}, {"refreshInterval", 30}};
        out.statusLineInstalled = true;
    }
    Json hooks = Json::object();
    if (auto it = settings.find("hooks"); it != settings.end() && it->is_object()) hooks = *it;
    for (const auto& event : connectorHookEvents) {
        Json entries = Json::array();
        if (auto it = hooks.find(event); it != hooks.end() && isArrayOfObjects(*it)) entries = *it;
        bool present = false;
        for (const auto& entry : entries) present = present || runsCommand(entry, hookCommand);
        if (!present)
            entries.push_back(
                Json{{"hooks", Json::array({Json{{"type", "command"}, {"command", hookCommand}, {"timeout", 10}}})}});
        hooks[event] = std::move(entries);
    }
    settings["hooks"] = std::move(hooks);
    out.settings = std::move(settings);
    return out;
}

std::expected<std::string, ConnectorFailure> encodeSettings(const Json& settings) {
    try {
        // Strict encoding: a settings file whose strings are not UTF-8 is refused rather than
        // silently rewritten with replacement characters. nlohmann reports that only by throwing.
        return settings.dump(2, ' ', false, Json::error_handler_t::strict) + "\n";
    } catch (const Json::exception& e) {
        return std::unexpected(ConnectorFailure{ClaudeConnectorError::writeFailed, e.what()});
    }
}

namespace {

std::unexpected<ConnectorFailure> fail(ClaudeConnectorError code, std::string detail = {}) {
    return std::unexpected(ConnectorFailure{code, std::move(detail)});
}

// Writes the account's settings with the connector merged in and returns what was merged.
std::expected<ConnectorSettings, ConnectorFailure> writeConnector(const fs::path& profilesRoot, const std::string& accountID,
                                                                  const std::optional<fs::path>& executable) {
    if (auto made = files::createFolders(claudeInboxFolder(profilesRoot, accountID)); !made)
        return fail(ClaudeConnectorError::folderCreationFailed, made.error().detail);
    if (!executable || executable->empty()) return fail(ClaudeConnectorError::executableNotFound);
    std::string exe = shellQuoted(executable->string());
    std::string statusLineCommand = exe + " --claude-statusline " + accountID;
    std::string hookCommand = exe + " --claude-hook " + accountID;

    fs::path settingsFile = claudeAccountFolder(profilesRoot, accountID) / "settings.json";
    Json existing = Json::object();
    if (auto bytes = files::read(settingsFile, maxSettingsFileBytes)) {
        auto parsed = json::parse(*bytes);
        if (!parsed) return fail(ClaudeConnectorError::corruptSettings, parsed.error().detail);
        existing = std::move(*parsed);
    } else if (bytes.error().code != files::FileError::notFound) {
        return fail(ClaudeConnectorError::corruptSettings, bytes.error().detail);
    }
    if (!existing.is_object()) return fail(ClaudeConnectorError::corruptSettings, "not an object");

    auto merged = mergeConnectorSettings(std::move(existing), statusLineCommand, hookCommand);
    auto text = encodeSettings(merged.settings);
    if (!text) return std::unexpected(std::move(text.error()));
    if (auto written = files::writeAtomically(settingsFile, *text, 0600); !written)
        return fail(ClaudeConnectorError::writeFailed, written.error().detail);
    return merged;
}

}  // namespace

ConnectorOutcome prepareClaudeConnector(std::string_view rawAccountID, const std::optional<fs::path>& profilesRoot,
                                        const std::optional<fs::path>& executable) {
    std::string accountID = trimmedAccountID(rawAccountID);
    ConnectorOutcome out;
    out.statusID = "Claude/" + accountID;
    if (!isValidAccountID(accountID)) {
        out.detail = std::string(invalidAccountIDMessage);
        return out;
    }
    out.detail = std::string(connectorFailedText);
    if (!profilesRoot) return out;
    auto merged = writeConnector(*profilesRoot, accountID, executable);
    if (!merged) return out;
    out.ready = true;
    out.isHealthy = merged->statusLineInstalled;
    out.detail = std::string(merged->statusLineInstalled ? connectorInstalledText : connectorPreservedText);
    return out;
}

bool detectClaudeCLI(const paths::Environment& env, const std::vector<fs::path>& fallbackFolders) {
    std::vector<fs::path> folders;
    if (auto path = env("PATH")) {
        std::string_view rest = *path;
        while (true) {
            auto colon = rest.find(':');
            auto entry = rest.substr(0, colon);
            if (!entry.empty() && entry.front() == '/') folders.emplace_back(entry);
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
    }
    folders.insert(folders.end(), fallbackFolders.begin(), fallbackFolders.end());
    for (const auto& folder : folders) {
        struct stat st {};
        auto candidate = folder / "claude";
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111)) return true;
    }
    return false;
}

}  // namespace vigilorb::claude
