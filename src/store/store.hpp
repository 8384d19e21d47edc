#pragma once
#include <sys/types.h>

#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "model/error.hpp"
#include "model/files.hpp"
#include "store/snapshot.hpp"

namespace vigilorb::store {

enum class SnapshotStoreError { readFailed, decodeFailed, folderCreationFailed, writeFailed };
using SnapshotStoreFailure = Error<SnapshotStoreError>;
// What every operation returns: the snapshot after it, or why it could not be had.
using SnapshotResult = std::expected<CompanionSnapshot, SnapshotStoreFailure>;

// A snapshot is a few hundred tasks, actions and quotas; a file far beyond that is not one.
inline constexpr std::size_t maxSnapshotFileBytes = 64u << 20;

// What to do with a file at the snapshot's place that can never load: bytes that are not a
// snapshot, something that is not a regular file, or a file beyond maxSnapshotFileBytes.
enum class UnreadableSnapshotPolicy {
    // Keep failing (the file stays where it is) until the file changes or
    // moveUnreadableAside() is called.
    keepAndWait,
    // Rename it to "<name>.unreadable-<UTC time>" and start from the empty snapshot.
    moveAside,
};

// Why the snapshot file could not be used, for the status the runtime shows.
struct SnapshotFileProblem {
    SnapshotStoreError error = SnapshotStoreError::readFailed;
    std::string detail;
    // Set once the file was moved aside; the store then runs on the empty snapshot.
    std::optional<std::filesystem::path> movedAsideTo;
    bool operator==(const SnapshotFileProblem&) const = default;
};

// Owns the one snapshot of the process and its file. Not thread-safe: the owner serialises
// calls (the runtime calls it from one thread only), which is what keeps operations from
// interleaving. Every mutating operation loads, merges a copy, writes it when it changed,
// and only then adopts the copy, so memory never runs ahead of the file.
//
// A file that failed to load is not read again until its identity (device, inode, size,
// modification and change times) differs: reading and parsing a large bad file on every event
// would burn a core. A failure to open or read a regular file is retried each time (it may be
// passing, and retrying costs little).
class CompanionSnapshotStore {
public:
    using Clock = std::function<Date()>;
    using ProblemListener = std::function<void(const std::optional<SnapshotFileProblem>&)>;

    explicit CompanionSnapshotStore(std::filesystem::path file, Clock now = &Date::now,
                                    UnreadableSnapshotPolicy policy = UnreadableSnapshotPolicy::keepAndWait);

    const std::filesystem::path& file() const { return file_; }
    const std::optional<CompanionSnapshot>& cachedSnapshot() const { return cached_; }

    // Every operation returns its failure (also when memory runs out) and throws nothing, so
    // a caller's check of the result is complete. A mutating operation that fails has changed
    // neither the file nor the cached snapshot.
    [[nodiscard]] SnapshotResult snapshot();
    [[nodiscard]] SnapshotResult apply(const ProviderEventEnvelope& envelope);
    [[nodiscard]] SnapshotResult replaceTasks(AIProvider provider, const std::string& accountID,
                                              const std::vector<TaskSnapshot>& tasks, Date capturedAt);
    [[nodiscard]] SnapshotResult removeAccount(AIProvider provider, const std::string& accountID);
    [[nodiscard]] SnapshotResult removeTasks(AIProvider provider, const std::string& accountID);
    [[nodiscard]] SnapshotResult removeTasksExcept(AIProvider provider, const std::string& accountID,
                                                   const std::vector<std::string>& keep);
    [[nodiscard]] std::expected<void, SnapshotStoreFailure> persist(const CompanionSnapshot& snapshot);

    // The way out of a file that does not load: renames it to "<name>.unreadable-<UTC time>"
    // (it stays for inspection) and continues from the empty snapshot, which is written at the
    // next change. Returns the new name, or nothing when the snapshot loads fine; fails with
    // writeFailed when the rename fails.
    [[nodiscard]] std::expected<std::optional<std::filesystem::path>, SnapshotStoreFailure> moveUnreadableAside();

    // The current problem with the file, if any; cleared by a successful load.
    const std::optional<SnapshotFileProblem>& fileProblem() const { return problem_; }
    // Called whenever fileProblem() changes.
    void setProblemListener(ProblemListener listener) { problemListener_ = std::move(listener); }

    // Deletes the temporary files of atomic replaces that never completed (the process was
    // killed between writing and renaming) once they are older than `minimumAge` seconds;
    // younger ones may belong to a write in progress. Returns how many were removed.
    std::size_t removeStaleTemporaries(double minimumAge = files::staleTemporaryAge);

    // Identity of whatever is at a path, as far as deciding whether to read it again goes.
    struct FileIdentity {
        int statError = 0;
        dev_t device = 0;
        ino_t inode = 0;
        mode_t mode = 0;
        off_t size = 0;
        long long modifiedSec = 0, modifiedNsec = 0, changedSec = 0, changedNsec = 0;
        bool operator==(const FileIdentity&) const = default;
    };

private:
    struct LoadFailure {
        FileIdentity identity;
        SnapshotStoreFailure failure;
        bool movable;
    };

    template <class Merge>
    SnapshotResult mutate(Merge&& merge);
    SnapshotResult load();
    std::expected<std::filesystem::path, SnapshotStoreFailure> moveAside();
    void setProblem(std::optional<SnapshotFileProblem> problem);

    std::filesystem::path file_;
    Clock now_;
    UnreadableSnapshotPolicy policy_;
    std::optional<CompanionSnapshot> cached_;
    std::optional<LoadFailure> failure_;
    std::optional<SnapshotFileProblem> problem_;
    ProblemListener problemListener_;
};

}  // namespace vigilorb::store
