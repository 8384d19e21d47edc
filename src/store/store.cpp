#include "store/store.hpp"

#include "model/files.hpp"

namespace vigilorb {

CompanionSnapshotStore::CompanionSnapshotStore(std::filesystem::path fileURL, Clock now)
    : fileURL_(std::move(fileURL)), now_(std::move(now)) {}

CompanionSnapshot CompanionSnapshotStore::snapshot() {
    if (cached_) return *cached_;
    std::string bytes;
    try {
        bytes = files::read(fileURL_);
    } catch (const Failure<files::FileError>& e) {
        if (e.code() != files::FileError::notFound)
            throw Failure<SnapshotStoreError>(SnapshotStoreError::readFailed, e.detail());
        cached_ = CompanionSnapshot{};
        return *cached_;
    }
    CompanionSnapshot loaded;
    try {
        loaded = decodeSnapshot(bytes);
    } catch (const DecodingError& e) {
        throw Failure<SnapshotStoreError>(SnapshotStoreError::decodeFailed, e.what());
    }
    bool migrated = loaded.migrate();
    bool pruned = loaded.prune(now_());
    if (migrated || pruned) persist(loaded);
    cached_ = loaded;
    return loaded;
}

template <class Merge>
CompanionSnapshot CompanionSnapshotStore::mutate(Merge&& merge) {
    CompanionSnapshot copy = snapshot();
    if (merge(copy)) {
        persist(copy);
        cached_ = copy;
    }
    return copy;
}

CompanionSnapshot CompanionSnapshotStore::apply(const ProviderEventEnvelope& envelope) {
    return mutate([&](CompanionSnapshot& s) { return s.applyEvent(envelope); });
}

CompanionSnapshot CompanionSnapshotStore::replaceTasks(AIProvider provider, const std::string& accountID,
                                                       const std::vector<TaskSnapshot>& tasks, Date capturedAt) {
    return mutate([&](CompanionSnapshot& s) { return s.replaceTasks(provider, accountID, tasks, capturedAt); });
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
    try {
        files::createFolders(fileURL_.parent_path());
    } catch (const Failure<files::FileError>& e) {
        throw Failure<SnapshotStoreError>(SnapshotStoreError::folderCreationFailed, e.detail());
    }
    try {
        files::writeAtomically(fileURL_, encodeSnapshot(snapshot));
    } catch (const Failure<files::FileError>& e) {
        throw Failure<SnapshotStoreError>(SnapshotStoreError::writeFailed, e.detail());
    }
}

}  // namespace vigilorb
