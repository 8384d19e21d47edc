#include "claude/cowork_capture.hpp"

#include <algorithm>

#include "claude/claude_desktop_session_parser.hpp"
#include "model/files.hpp"
#include "model/json.hpp"

namespace vigilorb::claude::cowork {

namespace fs = std::filesystem;

namespace {

bool startsWith(const std::string& s, std::string_view prefix) { return s.rfind(prefix, 0) == 0; }

bool isSessionMetadataName(const fs::path& p) {
    return p.extension() == ".json" && startsWith(p.stem().string(), "local_");
}

}  // namespace

fs::path auditLogPath(const fs::path& metadataFile) {
    return metadataFile.parent_path() / metadataFile.stem() / "audit.jsonl";
}

std::vector<fs::path> libraryFolders(const fs::path& root) {
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return {};
    std::vector<fs::path> folders{root};
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const auto& entry = *it;
        std::error_code typeError;
        if (!entry.is_directory(typeError) || entry.is_symlink(typeError)) continue;
        auto name = entry.path().filename().string();
        if (startsWith(name, ".")) {
            it.disable_recursion_pending();
            continue;
        }
        folders.push_back(entry.path());
        if (startsWith(name, "local_")) it.disable_recursion_pending();
    }
    return folders;
}

std::expected<std::vector<SessionFile>, ObserverError> listSessionFiles(const fs::path& root) {
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return std::unexpected(ObserverError::sessionStoreMissing);

    // Symbolic links to folders are not followed (the default), so a link loop cannot trap the
    // walk; hidden entries and session content folders are not entered.
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
    if (ec) return std::unexpected(ObserverError::sessionStoreUnreadable);

    std::vector<SessionFile> files;
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const auto& entry = *it;
        auto name = entry.path().filename().string();
        // The type comes with the listing (links are not followed); only candidate metadata
        // files cost an lstat, for the date and the size. An entry whose attributes cannot be
        // read is skipped.
        std::error_code typeError;
        if (entry.is_directory(typeError) && !entry.is_symlink(typeError)) {
            if (startsWith(name, "local_") || startsWith(name, ".")) it.disable_recursion_pending();
            continue;
        }
        if (typeError || startsWith(name, ".") || !isSessionMetadataName(entry.path())) continue;
        struct stat info {};
        if (::lstat(entry.path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        SessionFile file{entry.path(), desktop::stampOf(info)};
        files.push_back(std::move(file));
    }
    if (ec) return std::unexpected(ObserverError::sessionStoreUnreadable);

    std::stable_sort(files.begin(), files.end(), [](const SessionFile& a, const SessionFile& b) {
        return a.stamp.modifiedAt > b.stamp.modifiedAt;
    });
    return files;
}

namespace {

enum class MetadataRead { ok, failed };

// Reads and checks one metadata file: JSON object with a string "sessionId", or the whole
// capture fails.
MetadataRead readMetadata(const SessionFile& file, std::string& bytes, MetadataMemo& memo) {
    auto read = files::read(file.path, metadataReadLimit);
    if (!read) return MetadataRead::failed;
    auto parsed = json::parse(*read);
    if (!parsed || !parsed->is_object()) return MetadataRead::failed;
    const Json& meta = *parsed;
    auto sessionID = meta.find("sessionId");
    if (sessionID == meta.end() || !sessionID->is_string()) return MetadataRead::failed;
    auto flag = [&](const char* key) {
        auto it = meta.find(key);
        return it != meta.end() && it->is_boolean() && it->get<bool>();
    };
    memo.stamp = file.stamp;
    memo.archivedOrDeleted = flag("isArchived") || flag("isDeleted");
    // The index uses the ID as found; the parser trims it. They agree unless the ID has
    // surrounding whitespace.
    memo.taskID = memo.archivedOrDeleted ? std::string() : coworkTaskID(sessionID->get_ref<const std::string&>());
    bytes = std::move(*read);
    return MetadataRead::ok;
}

}  // namespace

Capture evaluateSessions(const std::vector<SessionFile>& files, const std::string& accountID,
                         const ObservationCache& previous, Date now) {
    CaptureResult result;
    result.metadataCount = files.size();
    for (const auto& file : files) {
        auto key = file.path.string();
        std::string bytes;
        bool haveBytes = false;
        MetadataMemo memo;
        if (auto known = previous.metadata.find(key); known != previous.metadata.end() && known->second.stamp == file.stamp) {
            memo = known->second;
        } else {
            if (readMetadata(file, bytes, memo) != MetadataRead::ok)
                return std::unexpected(ObserverError::sessionStoreUnreadable);
            haveBytes = true;
            ++result.metadataReadCount;
        }
        result.cache.metadata.emplace(key, memo);
        if (memo.archivedOrDeleted) continue;

        const auto& taskID = memo.taskID;
        // Two metadata files naming one session: the newest (listed first) decides.
        if (!result.indexedIDs.insert(taskID).second) continue;

        auto auditPath = auditLogPath(file.path);
        auto auditStamp = desktop::stampOf(auditPath);
        if (auto cached = previous.sessions.find(taskID); cached != previous.sessions.end() &&
                                                          cached->second.metadataModifiedAt == file.stamp &&
                                                          cached->second.auditModifiedAt == auditStamp) {
            result.cache.sessions.emplace(taskID, cached->second);
            if (cached->second.task) result.tasks.push_back(*cached->second.task);
            continue;
        }

        if (!haveBytes) {
            // Known metadata, changed audit log: the parser needs the metadata again.
            MetadataMemo reread;
            if (readMetadata(file, bytes, reread) != MetadataRead::ok)
                return std::unexpected(ObserverError::sessionStoreUnreadable);
            ++result.metadataReadCount;
        }
        // A missing or unreadable audit log leaves the metadata alone to describe the session.
        auto audit = files::readTail(auditPath, auditTailBytes).value_or(std::string());
        // Metadata that does not describe a session is no task (the scan goes on).
        auto task = ClaudeLocalSessionParser::parseSession(bytes, audit, accountID, now).value_or(std::nullopt);
        ++result.parsedCount;
        result.cache.sessions.emplace(taskID, CachedObservation{file.stamp, auditStamp, task});
        if (task) result.tasks.push_back(std::move(*task));
    }
    return result;
}

Capture captureSessions(const std::optional<fs::path>& root, const std::string& accountID,
                        const ObservationCache& previous, Date now) {
    if (!root) return std::unexpected(ObserverError::sessionStoreMissing);
    auto files = listSessionFiles(*root);
    if (!files) return std::unexpected(files.error());
    return evaluateSessions(*files, accountID, previous, now);
}

}  // namespace vigilorb::claude::cowork
