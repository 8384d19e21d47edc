#include "claude/cowork_capture.hpp"

#include <algorithm>

#include "claude/claude_desktop_session_parser.hpp"
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
        std::error_code attributeError;
        auto status = entry.symlink_status(attributeError);
        if (attributeError) continue;
        if (fs::is_directory(status)) {
            if (startsWith(name, "local_") || startsWith(name, ".")) it.disable_recursion_pending();
            continue;
        }
        if (startsWith(name, ".") || !fs::is_regular_file(status) || !isSessionMetadataName(entry.path())) continue;
        SessionFile file{entry.path(), desktop::FileStamp::absent()};
        auto modified = entry.last_write_time(attributeError);
        if (!attributeError) file.stamp.modifiedAt = modified;
        auto size = entry.file_size(attributeError);
        if (!attributeError) file.stamp.size = size;
        files.push_back(std::move(file));
    }
    if (ec) return std::unexpected(ObserverError::sessionStoreUnreadable);

    std::stable_sort(files.begin(), files.end(), [](const SessionFile& a, const SessionFile& b) {
        return a.stamp.modifiedAt > b.stamp.modifiedAt;
    });
    return files;
}

Capture evaluateSessions(const std::vector<SessionFile>& files, const std::string& accountID,
                         const ObservationCache& previous, Date now) {
    CaptureResult result;
    result.metadataCount = files.size();
    for (const auto& file : files) {
        auto read = desktop::readWhole(file.path, metadataReadLimit);
        if (read.outcome != desktop::ReadOutcome::ok) return std::unexpected(ObserverError::sessionStoreUnreadable);
        Json meta = Json::parse(read.bytes, nullptr, false);
        if (meta.is_discarded() || !meta.is_object()) return std::unexpected(ObserverError::sessionStoreUnreadable);
        auto sessionID = meta.find("sessionId");
        if (sessionID == meta.end() || !sessionID->is_string())
            return std::unexpected(ObserverError::sessionStoreUnreadable);
        auto flag = [&](const char* key) {
            auto it = meta.find(key);
            return it != meta.end() && it->is_boolean() && it->get<bool>();
        };
        if (flag("isArchived") || flag("isDeleted")) continue;

        // The index uses the ID as found; the parser trims it. They agree unless the ID has
        // surrounding whitespace.
        auto taskID = coworkTaskID(sessionID->get_ref<const std::string&>());
        // Two metadata files naming one session: the newest (listed first) decides.
        if (!result.indexedIDs.insert(taskID).second) continue;

        auto auditPath = auditLogPath(file.path);
        auto auditStamp = desktop::stampOf(auditPath);
        if (auto cached = previous.find(taskID); cached != previous.end() &&
                                                 cached->second.metadataModifiedAt == file.stamp &&
                                                 cached->second.auditModifiedAt == auditStamp) {
            result.cache.emplace(taskID, cached->second);
            if (cached->second.task) result.tasks.push_back(*cached->second.task);
            continue;
        }

        auto audit = desktop::readTail(auditPath, auditTailBytes);
        std::optional<TaskSnapshot> task;
        try {
            task = ClaudeLocalSessionParser::parseSession(read.bytes, audit.bytes, accountID, now);
        } catch (const std::exception&) {
            task.reset();
        }
        ++result.parsedCount;
        result.cache.emplace(taskID, CachedObservation{file.stamp, auditStamp, task});
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
