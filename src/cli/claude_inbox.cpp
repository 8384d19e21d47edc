#include "cli/claude_inbox.hpp"

#include <algorithm>
#include <stdexcept>
#include <system_error>

#include "claude/claude_connector.hpp"
#include "model/files.hpp"

namespace vigilorb::cli {

namespace fs = std::filesystem;

std::expected<fs::path, InboxWriteFailure> prepareInbox(const std::optional<fs::path>& profilesRoot,
                                                       const std::string& accountID) {
    if (!profilesRoot) return std::unexpected(InboxWriteFailure{InboxWriteError::noApplicationSupport});
    auto folder = claude::claudeInboxFolder(*profilesRoot, accountID);
    if (auto made = files::createFolders(folder); !made)
        return std::unexpected(InboxWriteFailure{InboxWriteError::folderCreationFailed, made.error().detail});
    return folder;
}

std::string encodeEventFile(const std::vector<ProviderEventEnvelope>& envelopes) {
    if (envelopes.empty()) throw std::invalid_argument("an event file holds at least one event");
    Json file = envelopes.front();
    if (envelopes.size() > 1) {
        Json following = Json::array();
        for (auto it = envelopes.begin() + 1; it != envelopes.end(); ++it) following.push_back(*it);
        file["following"] = std::move(following);
    }
    return json::dump(file);
}

std::expected<std::vector<ProviderEventEnvelope>, json::DocumentFailure> decodeEventFile(std::string_view bytes) {
    return json::decodeDocument(bytes, [](const Json& file) {
        std::vector<ProviderEventEnvelope> envelopes{file.get<ProviderEventEnvelope>()};
        if (const Json* following = json::optional(file, "following")) {
            if (!following->is_array()) throw DecodingError("\"following\" is not an array");
            if (following->size() >= maxEventsPerFile) throw DecodingError("too many events in one file");
            for (const auto& e : *following) envelopes.push_back(e.get<ProviderEventEnvelope>());
        }
        return envelopes;
    });
}

std::expected<void, InboxWriteFailure> writeEvents(const fs::path& inbox,
                                                   const std::vector<NormalizedProviderEvent>& events, Date now) {
    if (events.empty()) return {};
    std::vector<ProviderEventEnvelope> envelopes;
    std::string bytes;
    try {
        // Making an envelope draws its UUID from the kernel, which can fail too.
        for (const auto& event : events) envelopes.push_back(ProviderEventEnvelope::make(event, now));
        bytes = encodeEventFile(envelopes);
    } catch (const std::exception& e) {
        return std::unexpected(InboxWriteFailure{InboxWriteError::encodingFailed, e.what()});
    }
    if (bytes.size() > maxEventFileBytes)
        return std::unexpected(InboxWriteFailure{InboxWriteError::tooLarge, std::to_string(bytes.size()) + " bytes"});
    // The mode is set before the file appears under its name, so no reader ever sees it
    // with wider permissions. No flush to disk: this runs on every status-line refresh,
    // and after a power loss a damaged event file is simply rejected by the drain.
    auto written = files::writeAtomically(inbox / (envelopes.front().id + ".json"), bytes, 0600,
                                          files::Durability::visibleOnly);
    if (!written) return std::unexpected(InboxWriteFailure{InboxWriteError::writeFailed, written.error().detail});
    return {};
}

namespace {

struct Listing {
    std::vector<std::string> names;   // in listing order, hidden entries skipped
    std::vector<std::string> hidden;  // the hidden ones
};

// Nothing when the folder cannot be listed.
std::optional<Listing> list(const fs::path& folder) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return std::nullopt;
    Listing listing;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) return std::nullopt;
        auto name = it->path().filename().string();
        if (name.empty()) continue;
        (name.front() == '.' ? listing.hidden : listing.names).push_back(std::move(name));
    }
    return listing;
}

// A hook killed between writing its event file and renaming it into place leaves the hidden
// temporary for good; once it is older than any write could take, nobody will rename it.
void removeStaleTemporaries(const fs::path& inbox, const std::vector<std::string>& hidden, Date now) {
    const Date before = Date::fromUnix(now.unix() - files::staleTemporaryAge);
    for (const auto& name : hidden)
        if (auto target = files::temporaryTarget(name); target && target->ends_with(".json"))
            files::removeIfStale(inbox / name, before);
}

void discard(const fs::path& file) {
    std::error_code ec;
    fs::remove(file, ec);
}

struct EventFile {
    fs::path path;
    std::vector<ProviderEventEnvelope> envelopes;
};

// Tasks before pending actions at equal times: the first version wrote a permission request's
// task and approval as two files with one recorded time, and the approval needs its task.
int rank(const NormalizedProviderEvent& event) {
    if (event.asTask()) return 0;
    if (event.asPendingAction()) return 1;
    return 2;
}

bool producedBefore(const EventFile& a, const EventFile& b) {
    const auto& x = a.envelopes.front();
    const auto& y = b.envelopes.front();
    if (x.recordedAt != y.recordedAt) return x.recordedAt < y.recordedAt;
    if (rank(x.event) != rank(y.event)) return rank(x.event) < rank(y.event);
    return a.path.filename() < b.path.filename();
}

// The inbox's event files, decoded and in the order they are to be applied. Files that cannot
// be events of this account are deleted here.
std::vector<EventFile> readInbox(const std::string& accountID, const fs::path& inbox,
                                 const std::vector<std::string>& names, const DrainHandler& handler) {
    std::vector<EventFile> out;
    for (const auto& name : names) {
        // Reading thousands of files takes a while too; nothing is applied yet, so nothing is lost.
        if (handler.stopRequested && handler.stopRequested()) return {};
        fs::path file = inbox / name;
        if (file.extension() != ".json") continue;
        // Any local process can drop files here: read only a bounded regular file.
        std::optional<std::vector<ProviderEventEnvelope>> envelopes;
        if (auto bytes = files::read(file, maxEventFileBytes))
            if (auto decoded = decodeEventFile(*bytes)) envelopes = std::move(*decoded);
        if (!envelopes) {
            // Unreadable, not a regular file, too large or not an event file: rejected for good.
            discard(file);
            continue;
        }
        EventFile read{file, std::move(*envelopes)};
        bool ours = std::all_of(read.envelopes.begin(), read.envelopes.end(), [&](const auto& e) {
            return e.event.provider() == AIProvider::claude && e.event.accountID() == accountID;
        });
        if (!ours) {
            discard(file);
            continue;
        }
        out.push_back(std::move(read));
    }
    std::sort(out.begin(), out.end(), producedBefore);
    return out;
}

void drainAccount(const std::string& accountID, const fs::path& inbox, store::CompanionSnapshotStore& store,
                  const DrainHandler& handler) {
    auto listing = list(inbox);
    if (!listing) return;
    if (handler.now) removeStaleTemporaries(inbox, listing->hidden, handler.now());
    const std::string statusID = "Claude/" + accountID;
    for (const auto& file : readInbox(accountID, inbox, listing->names, handler)) {
        // Between files: one whose events were applied has been deleted, the others wait.
        if (handler.stopRequested && handler.stopRequested()) return;
        store::SnapshotResult result = store::CompanionSnapshot{};
        for (const auto& envelope : file.envelopes) {
            result = store.apply(envelope);
            if (!result) {
                // The store could not take it now (file unreadable or unwritable): keep this
                // event and the later ones for the next pass, in order.
                handler.setStatus(statusID, failedText, false);
                return;
            }
        }
        handler.publish(*result);
        handler.setStatus(statusID, appliedText, true);
        std::error_code ec;
        if (!fs::remove(file.path, ec) || ec) handler.setStatus(statusID, failedText, false);
    }
}

}  // namespace

void drainPass(const std::optional<fs::path>& profilesRoot, store::CompanionSnapshotStore& store, const DrainHandler& handler) {
    if (!profilesRoot) return;
    auto root = claude::claudeRoot(*profilesRoot);
    auto accounts = list(root);
    if (!accounts) return;
    for (const auto& accountID : accounts->names) {
        if (handler.stopRequested && handler.stopRequested()) return;
        if (!isValidAccountID(accountID)) continue;
        drainAccount(accountID, root / accountID / "inbox", store, handler);
    }
}

}  // namespace vigilorb::cli
