#include "runtime/cli/claude_inbox.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// The content of an event file, which any local process can drop into an inbox. Only a regular
// file of at most maxEventFileBytes is an event: opening never blocks (a FIFO would wait for a
// writer forever) and reading stops after the cap (a huge or endless file would exhaust
// memory). Anything else throws, which rejects the file like an unreadable one.
std::string readEventFile(const fs::path& file) {
    auto refuse = [](const char* why) { throw Failure<files::FileError>(files::FileError::readFailed, why); };
    int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) refuse("cannot open");
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) refuse("not a regular file");
    std::string bytes;
    char buffer[65536];
    for (;;) {
        auto n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            refuse("cannot read");
        }
        if (n == 0) return bytes;
        if (bytes.size() + static_cast<std::size_t>(n) > maxEventFileBytes) refuse("too large");
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
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
            envelope = decodeEnvelope(readEventFile(file));
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
