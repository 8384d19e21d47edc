#include "store/store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "model/files.hpp"

namespace vigilorb::store {

namespace fs = std::filesystem;

namespace {

using Identity = CompanionSnapshotStore::FileIdentity;

Identity identify(const fs::path& path) {
    Identity id;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        id.statError = errno;
        return id;
    }
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.mode = st.st_mode;
    id.size = st.st_size;
    id.modifiedSec = st.st_mtim.tv_sec;
    id.modifiedNsec = st.st_mtim.tv_nsec;
    id.changedSec = st.st_ctim.tv_sec;
    id.changedNsec = st.st_ctim.tv_nsec;
    return id;
}

bool missing(const Identity& id) { return id.statError == ENOENT || id.statError == ENOTDIR; }

// Runs `f`, which returns its own failures; anything it throws (an allocation failure, a
// library error) is returned as a store failure with `code` instead, so no exception leaves an
// operation and a caller's check of the result is complete.
template <class F>
auto guarded(SnapshotStoreError code, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return std::unexpected(SnapshotStoreFailure{code, "out of memory"});
    } catch (const std::exception& e) {
        return std::unexpected(SnapshotStoreFailure{code, e.what()});
    }
}

std::unexpected<SnapshotStoreFailure> failed(SnapshotStoreError code, std::string detail) {
    return std::unexpected(SnapshotStoreFailure{code, std::move(detail)});
}

std::string utcStamp(Date at) {
    double unix = at.unix();
    std::time_t seconds = std::isfinite(unix) ? static_cast<std::time_t>(std::floor(unix)) : 0;
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y%m%dT%H%M%SZ", &tm);
    return buffer;
}

// Renames without replacing anything already there; false when the target name is taken.
std::expected<bool, SnapshotStoreFailure> renameNoReplace(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS)
        return failed(SnapshotStoreError::writeFailed, from.string() + ": " + std::strerror(errno));
    // A file system without RENAME_NOREPLACE: check, then rename (only this process renames here).
    std::error_code ec;
    if (fs::exists(fs::symlink_status(to, ec))) return false;
    if (::rename(from.c_str(), to.c_str()) != 0)
        return failed(SnapshotStoreError::writeFailed, from.string() + ": " + std::strerror(errno));
    return true;
}

}  // namespace

CompanionSnapshotStore::CompanionSnapshotStore(fs::path file, Clock now, UnreadableSnapshotPolicy policy)
    : file_(std::move(file)), now_(std::move(now)), policy_(policy) {}

SnapshotResult CompanionSnapshotStore::snapshot() {
    return guarded(SnapshotStoreError::readFailed, [&]() -> SnapshotResult {
        if (cached_) return *cached_;
        return load();
    });
}

SnapshotResult CompanionSnapshotStore::load() {
    auto identity = identify(file_);
    if (failure_ && failure_->identity == identity) return std::unexpected(failure_->failure);
    failure_.reset();

    // A failure that depends only on what the file is: kept until the file changes, and the
    // file is moved aside when the policy says so.
    auto settled = [&](SnapshotStoreError code, std::string detail, bool movable) -> SnapshotResult {
        failure_ = LoadFailure{identity, SnapshotStoreFailure{code, detail}, movable};
        // When it cannot be renamed either (a read-only folder), it keeps failing as with keepAndWait.
        if (movable && policy_ == UnreadableSnapshotPolicy::moveAside && moveAside()) return *cached_;
        setProblem(SnapshotFileProblem{code, detail, std::nullopt});
        return std::unexpected(failure_->failure);
    };
    auto passing = [&](const std::string& detail) -> SnapshotResult {
        setProblem(SnapshotFileProblem{SnapshotStoreError::readFailed, detail, std::nullopt});
        return failed(SnapshotStoreError::readFailed, detail);
    };
    auto empty = [&]() -> SnapshotResult {
        cached_ = CompanionSnapshot{};
        setProblem(std::nullopt);
        return *cached_;
    };

    if (missing(identity)) return empty();
    if (identity.statError != 0) return passing(file_.string() + ": " + std::strerror(identity.statError));
    // Checked before opening: opening a device or a FIFO can block or have effects of its own.
    if (!S_ISREG(identity.mode)) return settled(SnapshotStoreError::readFailed, file_.string() + ": not a regular file", true);
    if (static_cast<std::uintmax_t>(identity.size) > maxSnapshotFileBytes)
        return settled(SnapshotStoreError::readFailed,
                       file_.string() + ": larger than " + std::to_string(maxSnapshotFileBytes) + " bytes", true);

    std::expected<std::string, files::FileFailure> read;
    try {
        read = files::read(file_, maxSnapshotFileBytes);
    } catch (const std::bad_alloc&) {
        return settled(SnapshotStoreError::readFailed, file_.string() + ": out of memory", false);
    }
    if (!read) {
        if (read.error().code == files::FileError::notFound) return empty();
        return passing(read.error().detail);
    }
    std::string bytes = std::move(*read);
    std::expected<CompanionSnapshot, json::DocumentFailure> decoded;
    try {
        decoded = decodeSnapshot(bytes);
    } catch (const std::bad_alloc&) {
        // Memory may be short only for now: the file is not judged, only not re-read until it changes.
        return settled(SnapshotStoreError::decodeFailed, file_.string() + ": out of memory", false);
    }
    if (!decoded) return settled(SnapshotStoreError::decodeFailed, decoded.error().detail, true);
    CompanionSnapshot loaded = std::move(*decoded);
    bytes = {};
    Date now = now_();
    bool migrated = loaded.migrate();
    bool clamped = loaded.clampFutureTimes(now);
    bool pruned = loaded.prune(now);
    if (migrated || clamped || pruned) {
        if (auto written = persist(loaded); !written) return std::unexpected(written.error());
    }
    cached_ = std::move(loaded);
    setProblem(std::nullopt);
    return *cached_;
}

template <class Merge>
SnapshotResult CompanionSnapshotStore::mutate(Merge&& merge) {
    auto copy = snapshot();
    if (!copy) return copy;
    return guarded(SnapshotStoreError::writeFailed, [&]() -> SnapshotResult {
        if (merge(*copy)) {
            if (auto written = persist(*copy); !written) return std::unexpected(written.error());
            cached_ = *copy;
        }
        return copy;
    });
}

SnapshotResult CompanionSnapshotStore::apply(const ProviderEventEnvelope& envelope) {
    return mutate([&](CompanionSnapshot& s) { return s.applyEvent(envelope, now_()); });
}

SnapshotResult CompanionSnapshotStore::replaceTasks(AIProvider provider, const std::string& accountID,
                                                       const std::vector<TaskSnapshot>& tasks, Date capturedAt) {
    return mutate([&](CompanionSnapshot& s) { return s.replaceTasks(provider, accountID, tasks, capturedAt, now_()); });
}

SnapshotResult CompanionSnapshotStore::removeAccount(AIProvider provider, const std::string& accountID) {
    return mutate([&](CompanionSnapshot& s) { return s.removeAccount(provider, accountID, now_()); });
}

SnapshotResult CompanionSnapshotStore::removeTasks(AIProvider provider, const std::string& accountID) {
    return mutate([&](CompanionSnapshot& s) { return s.removeTasks(provider, accountID, now_()); });
}

SnapshotResult CompanionSnapshotStore::removeTasksExcept(AIProvider provider, const std::string& accountID,
                                                            const std::vector<std::string>& keep) {
    return mutate([&](CompanionSnapshot& s) { return s.removeTasksExcept(provider, accountID, keep, now_()); });
}

std::expected<void, SnapshotStoreFailure> CompanionSnapshotStore::persist(const CompanionSnapshot& snapshot) {
    return guarded(SnapshotStoreError::writeFailed, [&]() -> std::expected<void, SnapshotStoreFailure> {
        if (auto made = files::createFolders(file_.parent_path()); !made)
            return failed(SnapshotStoreError::folderCreationFailed, made.error().detail);
        if (auto written = files::writeAtomically(file_, encodeSnapshot(snapshot)); !written)
            return failed(SnapshotStoreError::writeFailed, written.error().detail);
        return {};
    });
}

std::expected<std::optional<fs::path>, SnapshotStoreFailure> CompanionSnapshotStore::moveUnreadableAside() {
    using Moved = std::expected<std::optional<fs::path>, SnapshotStoreFailure>;
    return guarded(SnapshotStoreError::writeFailed, [&]() -> Moved {
        if (cached_) return std::nullopt;
        // It may load by now (or be moved aside by the policy); only a file that still fails
        // is moved here.
        if (snapshot()) return problem_ ? problem_->movedAsideTo : std::nullopt;
        auto moved = moveAside();
        if (!moved) return std::unexpected(moved.error());
        return *moved;
    });
}

std::expected<fs::path, SnapshotStoreFailure> CompanionSnapshotStore::moveAside() {
    auto base = file_.filename().string() + ".unreadable-" + utcStamp(now_());
    for (int attempt = 1; attempt <= 100; ++attempt) {
        auto target = file_.parent_path() / (attempt == 1 ? base : base + "-" + std::to_string(attempt));
        auto renamed = renameNoReplace(file_, target);
        if (!renamed) return std::unexpected(renamed.error());
        if (!*renamed) continue;
        SnapshotFileProblem problem{SnapshotStoreError::decodeFailed, {}, target};
        if (failure_) {
            problem.error = failure_->failure.code;
            problem.detail = failure_->failure.detail;
        } else if (problem_) {
            problem.error = problem_->error;
            problem.detail = problem_->detail;
        }
        failure_.reset();
        cached_ = CompanionSnapshot{};
        setProblem(std::move(problem));
        return target;
    }
    return failed(SnapshotStoreError::writeFailed, base + ": no free name");
}

std::size_t CompanionSnapshotStore::removeStaleTemporaries(double minimumAge) {
    const auto name = file_.filename().string();
    return files::removeStaleTemporaries(
        file_.parent_path(), [&](std::string_view target) { return target == name; },
        Date::fromUnix(now_().unix() - minimumAge));
}

void CompanionSnapshotStore::setProblem(std::optional<SnapshotFileProblem> problem) {
    if (problem == problem_) return;
    problem_ = std::move(problem);
    if (problemListener_) problemListener_(problem_);
}

}  // namespace vigilorb::store
