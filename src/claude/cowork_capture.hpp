#pragma once
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "claude/claude_desktop_files.hpp"
#include "model/records.hpp"

// One scan of Claude Desktop's Cowork session library. Runs off the main thread and touches
// only its arguments and the file system.
namespace vigilorb::claude::cowork {

enum class ObserverError { sessionStoreMissing, sessionStoreUnreadable };

// Only the end of an audit log decides a session's state; the rest is never read.
inline constexpr std::uintmax_t auditTailBytes = 1024 * 1024;
// Session metadata is a few hundred bytes; a file far larger is treated as damaged rather than
// loaded whole.
inline constexpr std::uintmax_t metadataReadLimit = 4 * 1024 * 1024;

struct CachedObservation {
    desktop::FileStamp metadataModifiedAt;
    desktop::FileStamp auditModifiedAt;
    std::optional<TaskSnapshot> task;
    bool operator==(const CachedObservation&) const = default;
};

// What a metadata file said last time: its session's task ID, or that it is archived or
// deleted. An unchanged file (same date and size) is not read again.
struct MetadataMemo {
    desktop::FileStamp stamp;
    bool archivedOrDeleted = false;
    std::string taskID;
    bool operator==(const MetadataMemo&) const = default;
};

struct ObservationCache {
    // Per session (task ID): the parse result from the last successful scan.
    std::map<std::string, CachedObservation> sessions;
    // Per metadata file path.
    std::map<std::string, MetadataMemo> metadata;
    bool operator==(const ObservationCache&) const = default;
};

struct CaptureResult {
    std::set<std::string> indexedIDs;
    std::vector<TaskSnapshot> tasks;
    std::size_t metadataCount = 0;
    ObservationCache cache;
    // How many sessions were parsed afresh, and how many metadata files were read, in this
    // pass (the rest came from the cache).
    std::size_t parsedCount = 0;
    std::size_t metadataReadCount = 0;
};

using Capture = std::expected<CaptureResult, ObserverError>;

struct SessionFile {
    std::filesystem::path path;
    desktop::FileStamp stamp;
};

// The metadata files below root (local_*.json at any depth), newest first. Does not enter
// local_* folders, hidden entries or symbolic links to folders.
std::expected<std::vector<SessionFile>, ObserverError> listSessionFiles(const std::filesystem::path& root);

// The folders whose entries listSessionFiles and the audit logs depend on: root, the folders
// the listing enters and the session content folders (local_*) that hold the audit logs.
// Empty when root is not a folder.
std::vector<std::filesystem::path> libraryFolders(const std::filesystem::path& root);

// Reads the listed files, reusing `previous` for sessions whose metadata and audit log are
// both unchanged; unchanged metadata files are not even read.
Capture evaluateSessions(const std::vector<SessionFile>& files, const std::string& accountID,
                         const ObservationCache& previous, Date now);

// listSessionFiles then evaluateSessions; nullopt root (no home) counts as a missing library.
Capture captureSessions(const std::optional<std::filesystem::path>& root, const std::string& accountID,
                        const ObservationCache& previous, Date now);

// local_X.json → local_X/audit.jsonl beside it.
std::filesystem::path auditLogPath(const std::filesystem::path& metadataFile);

}  // namespace vigilorb::claude::cowork
