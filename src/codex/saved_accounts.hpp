#pragma once
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/error.hpp"
#include "model/paths.hpp"
#include "model/preferences.hpp"  // the Qt-free preferences interface

namespace vigilorb::codex {

inline constexpr const char* savedCodexAccountsKey = "provider.codexAccounts.v1";

struct SavedCodexAccount {
    std::string id;
    bool isolatedProfile = false;
    bool operator==(const SavedCodexAccount&) const = default;
};

// JSON array of {"id", "isolatedProfile"}; decoding needs both keys in every element and gives
// nullopt for anything else.
std::string encodeSavedCodexAccounts(const std::vector<SavedCodexAccount>& accounts);
std::optional<std::vector<SavedCodexAccount>> decodeSavedCodexAccounts(std::string_view bytes);

// A missing or undecodable value reads as no accounts.
std::vector<SavedCodexAccount> loadSavedCodexAccounts(const Preferences& preferences);
void saveSavedCodexAccounts(Preferences& preferences, const std::vector<SavedCodexAccount>& accounts);
// Replaces any entry of that ID, keeps the list sorted by ID.
void upsertSavedCodexAccount(Preferences& preferences, const std::string& accountID, bool isolatedProfile);
void removeSavedCodexAccount(Preferences& preferences, const std::string& accountID);

enum class ProfileError { noApplicationSupport, folderCreationFailed };
using ProfileFailure = Error<ProfileError>;

// <Application Support>/VigilorbCompanion/Profiles; noApplicationSupport without one.
[[nodiscard]] std::expected<std::filesystem::path, ProfileFailure> profilesDirectory(
    const paths::Environment& env = paths::processEnvironment());
// Profiles/codex/<account ID>, not created.
[[nodiscard]] std::expected<std::filesystem::path, ProfileFailure> isolatedProfileDirectory(
    const std::string& accountID, const paths::Environment& env = paths::processEnvironment());
// Creates the isolated profile folder (and missing parents); the profile folder itself is
// private to the user (0700), since Codex keeps the account's sign-in files in it.
[[nodiscard]] std::expected<std::filesystem::path, ProfileFailure> prepareIsolatedProfile(
    const std::string& accountID, const paths::Environment& env = paths::processEnvironment());

}  // namespace vigilorb::codex
