#include "codex/saved_accounts.hpp"

#include <sys/stat.h>

#include <algorithm>

#include "model/files.hpp"
#include "model/json.hpp"

namespace vigilorb::codex {

namespace fs = std::filesystem;

std::string encodeSavedCodexAccounts(const std::vector<SavedCodexAccount>& accounts) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& a : accounts) {
        nlohmann::ordered_json entry;
        entry["id"] = a.id;
        entry["isolatedProfile"] = a.isolatedProfile;
        list.push_back(std::move(entry));
    }
    // Replace invalid UTF-8 rather than throw; account IDs are validated before they get here.
    return list.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::optional<std::vector<SavedCodexAccount>> decodeSavedCodexAccounts(std::string_view bytes) {
    auto list = json::parse(bytes);
    if (!list || !list->is_array()) return std::nullopt;
    std::vector<SavedCodexAccount> accounts;
    for (const auto& e : *list) {
        if (!e.is_object()) return std::nullopt;
        auto id = e.find("id");
        auto isolated = e.find("isolatedProfile");
        if (id == e.end() || !id->is_string() || isolated == e.end() || !isolated->is_boolean()) return std::nullopt;
        accounts.push_back({id->get<std::string>(), isolated->get<bool>()});
    }
    return accounts;
}

std::vector<SavedCodexAccount> loadSavedCodexAccounts(const Preferences& preferences) {
    auto data = preferences.string(savedCodexAccountsKey);
    if (!data) return {};
    return decodeSavedCodexAccounts(*data).value_or(std::vector<SavedCodexAccount>{});
}

void saveSavedCodexAccounts(Preferences& preferences, const std::vector<SavedCodexAccount>& accounts) {
    preferences.setString(savedCodexAccountsKey, encodeSavedCodexAccounts(accounts));
}

void upsertSavedCodexAccount(Preferences& preferences, const std::string& accountID, bool isolatedProfile) {
    auto accounts = loadSavedCodexAccounts(preferences);
    std::erase_if(accounts, [&](const SavedCodexAccount& a) { return a.id == accountID; });
    accounts.push_back({accountID, isolatedProfile});
    std::stable_sort(accounts.begin(), accounts.end(),
                     [](const SavedCodexAccount& a, const SavedCodexAccount& b) { return a.id < b.id; });
    saveSavedCodexAccounts(preferences, accounts);
}

void removeSavedCodexAccount(Preferences& preferences, const std::string& accountID) {
    auto accounts = loadSavedCodexAccounts(preferences);
    std::erase_if(accounts, [&](const SavedCodexAccount& a) { return a.id == accountID; });
    saveSavedCodexAccounts(preferences, accounts);
}

std::expected<fs::path, ProfileFailure> profilesDirectory(const paths::Environment& env) {
    auto root = paths::profilesRoot(env);
    if (!root) return std::unexpected(ProfileFailure{ProfileError::noApplicationSupport, "no Application Support directory"});
    return root->lexically_normal();
}

std::expected<fs::path, ProfileFailure> isolatedProfileDirectory(const std::string& accountID,
                                                                const paths::Environment& env) {
    auto root = profilesDirectory(env);
    if (!root) return root;
    return (*root / "codex" / accountID).lexically_normal();
}

std::expected<fs::path, ProfileFailure> prepareIsolatedProfile(const std::string& accountID, const paths::Environment& env) {
    auto folder = isolatedProfileDirectory(accountID, env);
    if (!folder) return folder;
    if (auto made = files::createFolders(*folder); !made)
        return std::unexpected(ProfileFailure{ProfileError::folderCreationFailed, made.error().detail});
    if (::chmod(folder->c_str(), 0700) != 0)
        return std::unexpected(ProfileFailure{ProfileError::folderCreationFailed, folder->string() + ": cannot restrict access"});
    return folder;
}

}  // namespace vigilorb::codex
