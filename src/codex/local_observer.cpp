#include "codex/local_observer.hpp"

#include <sys/stat.h>

#include <array>

#include "codex/task_title.hpp"

namespace vigilorb::codex {

std::filesystem::path defaultCodexHome(const std::filesystem::path& homeDirectory) { return homeDirectory / ".codex"; }

namespace {

// A thread's latest lifecycle event (in rank order: on equal instants the later entry wins).
std::optional<std::pair<Date, TaskState>> latestLifecycle(const CodexLocalActivityRecord& a) {
    const std::array<std::pair<std::optional<Date>, TaskState>, 6> candidates{{
        {a.lastTaskStartedAt, TaskState::running},
        {a.lastApprovalRequestAt, TaskState::waitingApproval},
        {a.lastUserInputRequestAt, TaskState::waitingInput},
        {a.lastTaskCompletedAt, TaskState::completed},
        {a.lastTaskCancelledAt, TaskState::cancelled},
        {a.lastTaskFailedAt, TaskState::failed},
    }};
    std::optional<std::pair<Date, TaskState>> winner;
    for (const auto& [at, state] : candidates)
        if (at && (!winner || *at >= winner->first)) winner = std::pair{*at, state};
    return winner;
}

}  // namespace

std::optional<Date> derivedTasksSameUntil(const std::vector<CodexLocalThreadRecord>& records,
                                          const std::map<std::string, CodexLocalActivityRecord>& activities, Date now) {
    std::optional<Date> until;
    for (const auto& record : records) {
        auto found = activities.find(record.id);
        if (found == activities.end()) continue;
        auto winner = latestLifecycle(found->second);
        if (!winner) continue;
        Date reference = std::max(found->second.lastActivityAt, record.updatedAt);
        Date edge = isActive(winner->second) ? reference + activeStateLifetimeSeconds
                                             : winner->first + finishedStateLifetimeSeconds;
        if (!(edge < now) && (!until || edge < *until)) until = edge;
    }
    return until;
}

std::vector<TaskSnapshot> deriveTasks(const std::string& accountID, const std::vector<CodexLocalThreadRecord>& records,
                                      const std::map<std::string, CodexLocalActivityRecord>& activities, Date now) {
    std::vector<TaskSnapshot> tasks;
    for (const auto& record : records) {
        auto found = activities.find(record.id);
        if (found == activities.end()) continue;
        const auto& a = found->second;
        Date reference = std::max(a.lastActivityAt, record.updatedAt);
        auto winner = latestLifecycle(a);
        if (!winner) continue;
        if (isActive(winner->second) ? now - reference > activeStateLifetimeSeconds
                                     : now - winner->first > finishedStateLifetimeSeconds)
            continue;
        TaskSnapshot t;
        t.id = record.id;
        t.accountID = accountID;
        t.provider = AIProvider::codex;
        auto title = normalizedTitle(record.name);
        t.title = title ? *title : defaultTaskTitle(record.id);
        t.state = winner->second;
        t.updatedAt = reference;
        tasks.push_back(std::move(t));
    }
    return tasks;
}

std::optional<FileIdentity> identityOf(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                        static_cast<std::uint64_t>(st.st_size), st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

namespace {

std::expected<CaptureSnapshot, LocalObserverError> failed(CaptureState& state, LocalObserverError error) {
    state.last = std::unexpected(error);
    return std::unexpected(error);
}

bool inside(const std::filesystem::path& file, const std::filesystem::path& folder) {
    auto relative = file.lexically_normal().lexically_relative(folder.lexically_normal());
    return !relative.empty() && *relative.begin() != "..";
}

}  // namespace

std::expected<CaptureSnapshot, LocalObserverError> capture(const std::string& accountID,
                                                           const std::filesystem::path& codexHome,
                                                           CaptureState& state, Date now) {
    auto database = findStateDatabase("state_", codexHome);
    if (!database) return failed(state, LocalObserverError::stateDatabaseMissing);
    // Identities first: a write landing while the rows are read shows at the next poll.
    auto databaseIdentity = identityOf(*database);
    auto walIdentity = identityOf(database->string() + "-wal");
    if (!(state.database == database && databaseIdentity && state.databaseIdentity == databaseIdentity &&
          state.walIdentity == walIdentity)) {
        state.database.reset();
        auto read = readThreads(*database);
        ++state.databaseReads;
        if (!read) return failed(state, read.error().code);
        state.rows = std::move(*read);
        // Reading a database in write-ahead mode whose log is missing creates an empty log; an
        // empty log holds no rows, so the rows just read stand for it.
        if (!walIdentity)
            if (auto created = identityOf(database->string() + "-wal"); created && created->size == 0) walIdentity = created;
        state.database = database;
        state.databaseIdentity = databaseIdentity;
        state.walIdentity = walIdentity;
    }
    const auto& rows = state.rows;
    const auto& names = state.sessionIndex.load(codexHome);

    CaptureSnapshot snapshot;
    CaptureState::Derivation derivation;
    auto& records = derivation.records;
    auto& activities = derivation.activities;
    std::map<std::string, FileIdentity> rollouts;
    bool rolloutsInHome = true;
    records.reserve(rows.size());
    for (const auto& row : rows) {
        CodexLocalThreadRecord record{row.id, normalizedTitle(row.name), Date::fromUnix(static_cast<double>(row.updatedAt))};
        if (!record.name)
            if (auto n = names.find(row.id); n != names.end()) record.name = n->second;
        snapshot.indexedIDs.insert(row.id);
        rolloutsInHome = rolloutsInHome && inside(row.rolloutPath, codexHome);

        std::optional<CodexRolloutLifecycleCursor> previous;
        if (auto c = state.cursors.find(row.rolloutPath); c != state.cursors.end()) previous = c->second;
        std::optional<CodexLocalActivityRecord> activity;
        auto identity = identityOf(row.rolloutPath);
        auto known = state.rollouts.find(row.rolloutPath);
        if (previous && identity && known != state.rollouts.end() && known->second == *identity &&
            previous->byteOffset == identity->size) {
            // Unchanged since its cursor reached its end: scanning would read nothing.
            activity = makeActivity(row.id, record.updatedAt, *previous);
            snapshot.lifecycleCursors[row.rolloutPath] = std::move(*previous);
            rollouts.emplace(row.rolloutPath, *identity);
        } else {
            ++state.rolloutScans;
            if (auto scanned = scanRollout(row.rolloutPath, row.id, record.updatedAt, previous)) {
                activity = std::move(scanned->activity);
                if (identity && scanned->cursor.byteOffset == identity->size) rollouts.emplace(row.rolloutPath, *identity);
                snapshot.lifecycleCursors[row.rolloutPath] = std::move(scanned->cursor);
            } else if (previous) {
                // A vanished or unreadable rollout keeps its last known lifecycle until it ages out.
                activity = makeActivity(row.id, record.updatedAt, *previous);
                snapshot.lifecycleCursors[row.rolloutPath] = std::move(*previous);
            }
        }
        // Thread IDs are unique in Codex's table; should one repeat, the first (newest) row wins.
        if (activity) activities.try_emplace(row.id, std::move(*activity));
        records.push_back(std::move(record));
    }
    snapshot.tasks = deriveTasks(accountID, records, activities, now);
    state.cursors = snapshot.lifecycleCursors;
    state.rollouts = std::move(rollouts);
    state.rolloutsInHome = rolloutsInHome;
    derivation.indexedIDs = snapshot.indexedIDs;
    state.last = std::move(derivation);
    return snapshot;
}

std::expected<CaptureSnapshot, LocalObserverError> recapture(const std::string& accountID, const CaptureState& state,
                                                             Date now) {
    if (!state.last) return std::unexpected(LocalObserverError::stateDatabaseMissing);
    if (!*state.last) return std::unexpected(state.last->error());
    const auto& d = **state.last;
    CaptureSnapshot snapshot{d.indexedIDs, deriveTasks(accountID, d.records, d.activities, now), state.cursors};
    return snapshot;
}

ObserverStatus observerStatus(const std::expected<CaptureSnapshot, LocalObserverError>& result) {
    if (!result) {
        if (result.error() == LocalObserverError::stateDatabaseMissing)
            return {"Quota connected; waiting for Codex to create its local task index", false};
        return {"Quota connected; the local Codex task index is temporarily unavailable", false};
    }
    auto n = result->tasks.size();
    return {"Quota and " + std::to_string(n) + " local Codex task" + (n == 1 ? "" : "s") + " synced", true};
}

}  // namespace vigilorb::codex
