#include "runtime/cli/claude_inbox.hpp"

#include <system_error>

#include "claude/claude_connector.hpp"
#include "model/files.hpp"

namespace vigilorb::inbox {

namespace fs = std::filesystem;

fs::path prepareInbox(const std::optional<fs::path>& profilesRoot, const std::string& accountID) {
    if (!profilesRoot) throw Failure<InboxWriteError>(InboxWriteError::noApplicationSupport);
    auto folder = claude::claudeInboxFolder(*profilesRoot, accountID);
    try {
        files::createFolders(folder);
    } catch (const Failure<files::FileError>& e) {
        throw Failure<InboxWriteError>(InboxWriteError::folderCreationFailed, e.detail());
    }
    return folder;
}

void writeEvents(const fs::path& inbox, const std::vector<NormalizedProviderEvent>& events, Date now) {
    for (const auto& event : events) {
        ProviderEventEnvelope envelope;
        std::string bytes;
        try {
            // Making the envelope draws its UUID from the kernel, which can fail too.
            envelope = ProviderEventEnvelope::make(event, now);
            bytes = encodeEnvelope(envelope);
        } catch (const std::exception& e) {
            throw Failure<InboxWriteError>(InboxWriteError::encodingFailed, e.what());
        }
        try {
            // The mode is set before the file appears under its name, so no reader ever sees it
            // with wider permissions. No flush to disk: this runs on every status-line refresh,
            // and after a power loss a damaged event file is simply rejected by the drain.
            files::writeAtomically(inbox / (envelope.id + ".json"), bytes, 0600, files::Durability::visibleOnly);
        } catch (const Failure<files::FileError>& e) {
            throw Failure<InboxWriteError>(InboxWriteError::writeFailed, e.detail());
        }
    }
}

namespace {

// Names in listing order, hidden entries skipped; nothing when the folder cannot be listed.
std::optional<std::vector<std::string>> list(const fs::path& folder) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return std::nullopt;
    std::vector<std::string> names;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) return std::nullopt;
        auto name = it->path().filename().string();
        if (!name.empty() && name.front() != '.') names.push_back(std::move(name));
    }
    return names;
}

void discard(const fs::path& file) {
    std::error_code ec;
    fs::remove(file, ec);
}

void drainAccount(const std::string& accountID, const fs::path& inbox, CompanionSnapshotStore& store,
                  const DrainHandler& handler) {
    auto names = list(inbox);
    if (!names) return;
    const std::string statusID = "Claude/" + accountID;
    for (const auto& name : *names) {
        fs::path file = inbox / name;
        if (file.extension() != ".json") continue;
        ProviderEventEnvelope envelope;
        try {
            // Any local process can drop files here: read only a bounded regular file.
            envelope = decodeEnvelope(files::readRegular(file, maxEventFileBytes));
        } catch (const std::exception&) {
            // Unreadable, not a regular file, too large or not an envelope: rejected for good.
            discard(file);
            continue;
        }
        if (envelope.event.provider() != AIProvider::claude || envelope.event.accountID() != accountID) {
            discard(file);
            continue;
        }
        CompanionSnapshot result;
        try {
            result = store.apply(envelope);
        } catch (const std::exception&) {
            // The store could not take it now (file unreadable or unwritable): keep the event
            // for the next pass.
            handler.setStatus(statusID, failedText, false);
            continue;
        }
        handler.publish(result);
        handler.setStatus(statusID, appliedText, true);
        std::error_code ec;
        if (!fs::remove(file, ec) || ec) handler.setStatus(statusID, failedText, false);
    }
}

}  // namespace

void drainPass(const std::optional<fs::path>& profilesRoot, CompanionSnapshotStore& store, const DrainHandler& handler) {
    if (!profilesRoot) return;
    auto root = claude::claudeRoot(*profilesRoot);
    auto accounts = list(root);
    if (!accounts) return;
    for (const auto& accountID : *accounts) {
        if (!isValidAccountID(accountID)) continue;
        drainAccount(accountID, root / accountID / "inbox", store, handler);
    }
}

}  // namespace vigilorb::inbox
