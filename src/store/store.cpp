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

// Runs `f`; anything it throws other than a store failure (an allocation failure, a library
// error) becomes a store failure with `code`, so callers need only one catch.
template <class F>
auto guarded(SnapshotStoreError code, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const Failure<SnapshotStoreError>&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw Failure<SnapshotStoreError>(code, "out of memory");
    } catch (const std::exception& e) {
        throw Failure<SnapshotStoreError>(code, e.what());
    }
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
bool renameNoReplace(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS)
        throw Failure<SnapshotStoreError>(SnapshotStoreError::writeFailed, from.string() + ": " + std::strerror(errno));
    // A file system without RENAME_NOREPLACE: check, then rename (only this process renames here).
    std::error_code ec;
    if (fs::exists(fs::symlink_status(to, ec))) return false;
    if (::rename(from.c_str(), to.c_str()) != 0)
        throw Failure<SnapshotStoreError>(SnapshotStoreError::writeFailed, from.string() + ": " + std::strerror(errno));
    return true;
}

}  // namespace

CompanionSnapshotStore::CompanionSnapshotStore(fs::path file, Clock now, UnreadableSnapshotPolicy policy)
    : file_(std::move(file)), now_(std::move(now)), policy_(policy) {}

CompanionSnapshot CompanionSnapshotStore::snapshot() {
    if (cached_) return *cached_;
    return guarded(SnapshotStoreError::readFailed, [&] { return load(); });
}

CompanionSnapshot CompanionSnapshotStore::load() {
    auto identity = identify(file_);
    if (failure_ && failure_->identity == identity) throw failure_->failure;
    failure_.reset();

    // A failure that depends only on what the file is: kept until the file changes, and the
    // file is moved aside when the policy says so.
    auto settled = [&](SnapshotStoreError code, std::string detail, bool movable) -> CompanionSnapshot {
        failure_ = LoadFailure{identity, Failure<SnapshotStoreError>(code, detail), movable};
        if (movable && policy_ == UnreadableSnapshotPolicy::moveAside) {
            try {
                moveAside();
                return *cached_;
            } catch (const Failure<SnapshotStoreError>&) {
                // Cannot rename either (a read-only folder): keep failing, as with keepAndWait.
            }
        }
        setProblem(SnapshotFileProblem{code, detail, std::nullopt});
        throw failure_->failure;
    };
    auto passing = [&](const std::string& detail) -> CompanionSnapshot {
        setProblem(SnapshotFileProblem{SnapshotStoreError::readFailed, detail, std::nullopt});
        throw Failure<SnapshotStoreError>(SnapshotStoreError::readFailed, detail);
    };
    auto empty = [&] {
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
    if (migrated || clamped || pruned) persist(loaded);
    cached_ = std::move(loaded);
    setProblem(std::nullopt);
    return *cached_;
}

template <class Merge>
CompanionSnapshot CompanionSnapshotStore::mutate(Merge&& merge) {
    CompanionSnapshot copy = snapshot();
    return guarded(SnapshotStoreError::writeFailed, [&] {
        if (merge(copy)) {
            persist(copy);
            cached_ = copy;
        }
        return copy;
    });
}

CompanionSnapshot CompanionSnapshotStore::apply(const ProviderEventEnvelope& envelope) {
    return mutate([&](CompanionSnapshot& s) { return s.applyEvent(envelope, now_()); });
}

CompanionSnapshot CompanionSnapshotStore::replaceTasks(AIProvider provider, const std::string& accountID,
                                                       const std::vector<TaskSnapshot>& tasks, Date capturedAt) {
    return mutate([&](CompanionSnapshot& s) { return s.replaceTasks(provider, accountID, tasks, capturedAt, now_()); });
}

CompanionSnapshot CompanionSnapshotStore::removeAccount(AIProvider provider, const std::string& accountID) {
    return mutate([&](CompanionSnapshot& s) { return s.removeAccount(provider, accountID, now_()); });
}

CompanionSnapshot CompanionSnapshotStore::removeTasks(AIProvider provider, const std::string& accountID) {
    return mutate([&](CompanionSnapshot& s) { return s.removeTasks(provider, accountID, now_()); });
}

CompanionSnapshot CompanionSnapshotStore::removeTasksExcept(AIProvider provider, const std::string& accountID,
                                                            const std::vector<std::string>& keep) {
    return mutate([&](CompanionSnapshot& s) { return s.removeTasksExcept(provider, accountID, keep, now_()); });
}

void CompanionSnapshotStore::persist(const CompanionSnapshot& snapshot) {
    guarded(SnapshotStoreError::writeFailed, [&] {
        if (auto made = files::createFolders(file_.parent_path()); !made)
            throw Failure<SnapshotStoreError>(SnapshotStoreError::folderCreationFailed, made.error().detail);
        if (auto written = files::writeAtomically(file_, encodeSnapshot(snapshot)); !written)
            throw Failure<SnapshotStoreError>(SnapshotStoreError::writeFailed, written.error().detail);
    });
}

std::optional<fs::path> CompanionSnapshotStore::moveUnreadableAside() {
    if (cached_) return std::nullopt;
    try {
        // It may load by now (or be moved aside by the policy); only a file that still fails
        // is moved here.
        snapshot();
        return problem_ ? problem_->movedAsideTo : std::nullopt;
    } catch (const Failure<SnapshotStoreError>&) {
    }
    return guarded(SnapshotStoreError::writeFailed, [&] { return moveAside(); });
}

fs::path CompanionSnapshotStore::moveAside() {
    auto base = file_.filename().string() + ".unreadable-" + utcStamp(now_());
    for (int attempt = 1; attempt <= 100; ++attempt) {
        auto target = file_.parent_path() / (attempt == 1 ? base : base + "-" + std::to_string(attempt));
        if (!renameNoReplace(file_, target)) continue;
        SnapshotFileProblem problem{SnapshotStoreError::decodeFailed, {}, target};
        if (failure_) {
            problem.error = failure_->failure.code();
            problem.detail = failure_->failure.detail();
        } else if (problem_) {
            problem.error = problem_->error;
            problem.detail = problem_->detail;
        }
        failure_.reset();
        cached_ = CompanionSnapshot{};
        setProblem(std::move(problem));
        return target;
    }
    throw Failure<SnapshotStoreError>(SnapshotStoreError::writeFailed, base + ": no free name");
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
