#pragma once
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/events.hpp"
#include "store/store.hpp"

namespace vigilorb::inbox {

// The one channel from Claude Code's short-lived status-line and hook runs to the running app:
// <profiles root>/claude/<account>/inbox/<envelope id>.json, one envelope per file, each written
// by atomic replace with mode 0600. The app drains the folders, applies each envelope to the
// store and deletes the file.

enum class InboxWriteError { noApplicationSupport, folderCreationFailed, encodingFailed, writeFailed };

inline constexpr std::string_view appliedText = "Read-only quota and task state updated";
inline constexpr std::string_view failedText = "Local event processing failed";

// An envelope file is a few hundred bytes; anything beyond this is not one of ours and is
// rejected (deleted) unread rather than loaded whole.
inline constexpr std::size_t maxEventFileBytes = 1 << 20;

// Creates the inbox with its parents and returns it. Throws Failure<InboxWriteError>
// (noApplicationSupport without a profiles root, folderCreationFailed).
std::filesystem::path prepareInbox(const std::optional<std::filesystem::path>& profilesRoot,
                                   const std::string& accountID);

// One file per event in order, each a fresh envelope recorded at `now`. Throws
// Failure<InboxWriteError> at the first failure; files already written stay.
void writeEvents(const std::filesystem::path& inbox, const std::vector<NormalizedProviderEvent>& events, Date now);

struct DrainHandler {
    // A store result to publish (also when nothing changed).
    std::function<void(const CompanionSnapshot&)> publish;
    // Status row "Claude/<account>".
    std::function<void(const std::string& id, std::string_view detail, bool isHealthy)> setStatus;
};

// One pass over every account inbox under <profiles root>/claude, in listing order. Rejected
// files (unreadable, undecodable, another provider or account) are deleted; files the store
// could not take stay for the next pass; files of other extensions are never touched.
void drainPass(const std::optional<std::filesystem::path>& profilesRoot, CompanionSnapshotStore& store,
               const DrainHandler& handler);

}  // namespace vigilorb::inbox
