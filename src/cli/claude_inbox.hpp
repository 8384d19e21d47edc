#pragma once
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/events.hpp"
#include "store/store.hpp"

namespace vigilorb::cli {

// The one channel from Claude Code's short-lived status-line and hook runs to the running app:
// <profiles root>/claude/<account>/inbox/<envelope id>.json, written by atomic replace with mode
// 0600. The app drains the folders, applies the events to the store and deletes the files.
//
// File content: one envelope in its JSON form, the first event of the run. When a run produces
// more than one event (a permission request: the task, then the approval it waits for), the
// others follow in the optional key "following", an array of envelopes in the order they were
// produced. One run is one file because a directory listing taken while files are being
// created may show a later file without an earlier one: with two files the approval could be
// applied before the task that makes it valid, and be dropped. A file without "following" (all
// the first version wrote) is a run of one event.
//
// Order of applying: a pass first reads every file of an inbox, then applies them by the
// recorded time of their first event; at equal times a task file goes before a pending-action
// file (two files of one run of the first version), then by name. Within a file the events go
// in their written order.

enum class InboxWriteError { noApplicationSupport, folderCreationFailed, encodingFailed, tooLarge, writeFailed };
using InboxWriteFailure = Error<InboxWriteError>;

inline constexpr std::string_view appliedText = "Read-only quota and task state updated";
inline constexpr std::string_view failedText = "Local event processing failed";

// An envelope file is a few hundred bytes; anything beyond this is not one of ours and is
// rejected (deleted) unread rather than loaded whole.
inline constexpr std::size_t maxEventFileBytes = 1 << 20;
// A run produces one or two events; a file with more is not one of ours and is rejected.
inline constexpr std::size_t maxEventsPerFile = 8;

// The file content for the envelopes of one run (at least one), and back. Decoding refuses
// anything but one envelope followed by at most maxEventsPerFile - 1 more.
std::string encodeEventFile(const std::vector<ProviderEventEnvelope>& envelopes);
[[nodiscard]] std::expected<std::vector<ProviderEventEnvelope>, json::DocumentFailure> decodeEventFile(std::string_view bytes);

// Creates the inbox with its parents and returns it; fails with noApplicationSupport without a
// profiles root, folderCreationFailed.
[[nodiscard]] std::expected<std::filesystem::path, InboxWriteFailure> prepareInbox(
    const std::optional<std::filesystem::path>& profilesRoot, const std::string& accountID);

// One file holding all the events in order, each in a fresh envelope recorded at `now`; nothing
// for no events. Fails with encodingFailed, tooLarge (a file beyond maxEventFileBytes, which the
// drain would delete unread) or writeFailed; on failure no file is left.
[[nodiscard]] std::expected<void, InboxWriteFailure> writeEvents(const std::filesystem::path& inbox,
                                                               const std::vector<NormalizedProviderEvent>& events,
                                                               Date now);

struct DrainHandler {
    // A store result to publish (also when nothing changed).
    std::function<void(const store::CompanionSnapshot&)> publish;
    // Status row "Claude/<account>".
    std::function<void(const std::string& id, std::string_view detail, bool isHealthy)> setStatus;
    // Asked before each file is applied: true ends the pass there (the app is quitting), and
    // the files not yet applied stay for the next pass or the next start. None: never.
    std::function<bool()> stopRequested = {};
    // The time temporaries of writers killed mid-write are judged by; none: they are left.
    std::function<Date()> now = {};
};

// One pass over every account inbox under <profiles root>/claude, accounts in listing order,
// files in the order above. Rejected files (unreadable, undecodable, an event of another
// provider or account) are deleted; when the store cannot take an event, that file and the
// later ones of its inbox stay for the next pass (applying them now would reorder them);
// events of a file applied before the failure are skipped then as already processed. Files of
// other extensions are never touched. Hidden temporaries of event files older than
// files::staleTemporaryAge are deleted (a hook killed between writing and renaming left them).
void drainPass(const std::optional<std::filesystem::path>& profilesRoot, store::CompanionSnapshotStore& store,
               const DrainHandler& handler);

}  // namespace vigilorb::cli
