#pragma once
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "model/error.hpp"
#include "store/snapshot.hpp"

namespace vigilorb {

enum class SnapshotStoreError { readFailed, decodeFailed, folderCreationFailed, writeFailed };

// Owns the one snapshot of the process and its file. Not thread-safe: the owner serialises
// calls (the runtime calls it from one thread only), which is what keeps operations from
// interleaving. Every mutating operation loads, merges a copy, writes it when it changed,
// and only then adopts the copy, so memory never runs ahead of the file.
class CompanionSnapshotStore {
public:
    using Clock = std::function<Date()>;

    explicit CompanionSnapshotStore(std::filesystem::path fileURL, Clock now = &Date::now);

    const std::filesystem::path& fileURL() const { return fileURL_; }
    const std::optional<CompanionSnapshot>& cachedSnapshot() const { return cached_; }

    // All operations throw Failure<SnapshotStoreError>.
    CompanionSnapshot snapshot();
    CompanionSnapshot apply(const ProviderEventEnvelope& envelope);
    CompanionSnapshot replaceTasks(AIProvider provider, const std::string& accountID,
                                   const std::vector<TaskSnapshot>& tasks, Date capturedAt);
    CompanionSnapshot removeAccount(AIProvider provider, const std::string& accountID);
    CompanionSnapshot removeTasks(AIProvider provider, const std::string& accountID);
    CompanionSnapshot removeTasksExcept(AIProvider provider, const std::string& accountID,
                                        const std::vector<std::string>& keep);
    void persist(const CompanionSnapshot& snapshot);

private:
    template <class Merge>
    CompanionSnapshot mutate(Merge&& merge);

    std::filesystem::path fileURL_;
    Clock now_;
    std::optional<CompanionSnapshot> cached_;
};

}  // namespace vigilorb
