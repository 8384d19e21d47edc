#include "claude/cowork_observer_state.hpp"

#include <algorithm>

namespace vigilorb::claude::cowork {

std::string_view errorText(ObserverError error) {
    switch (error) {
        case ObserverError::sessionStoreMissing:
            return "Claude Cowork's local session library was not found; it will connect after you start a Cowork task";
        case ObserverError::sessionStoreUnreadable:
            return "Claude Cowork's local session library is temporarily unavailable";
    }
    return "Claude Cowork's local session library is temporarily unavailable";
}

std::vector<TaskSnapshot> CoworkObserverState::chooseTasks(const std::vector<TaskSnapshot>& captured, Date now) {
    std::vector<TaskSnapshot> reported;
    for (const auto& task : captured) {
        bool report = false;
        if (task.state == TaskState::running) {
            report = now - task.updatedAt <= runningFreshness;
        } else if (isWaiting(task.state)) {
            report = now - task.updatedAt <= waitingFreshness;
        } else {
            // Finished sessions are reported only when the end happened on our watch; old
            // ones are never replayed.
            auto previous = previousStates_.find(task.id);
            report = (previous != previousStates_.end() && isActive(previous->second)) || task.updatedAt >= startedAt_;
        }
        if (report) reported.push_back(task);
    }
    for (const auto& task : reported) previousStates_[task.id] = task.state;
    std::stable_sort(reported.begin(), reported.end(),
                     [](const TaskSnapshot& a, const TaskSnapshot& b) { return a.updatedAt > b.updatedAt; });
    return reported;
}

CoworkObserverState::Outcome CoworkObserverState::onCapture(Capture capture, Date now) {
    Outcome outcome;
    if (!capture) {
        ++failures_;
        outcome.libraryUnavailable = failures_ == 2;
        outcome.status = std::string(errorText(capture.error()));
        outcome.healthy = false;
        return outcome;
    }
    failures_ = 0;
    cache_ = std::move(capture->cache);
    captured_ = std::move(capture->tasks);
    indexedIDs_ = std::move(capture->indexedIDs);
    metadataCount_ = capture->metadataCount;
    return reported(now);
}

CoworkObserverState::Outcome CoworkObserverState::onUnchanged(Date now) { return reported(now); }

CoworkObserverState::Outcome CoworkObserverState::reported(Date now) {
    Outcome outcome;
    auto statesBefore = previousStates_;
    Report report{chooseTasks(captured_, now), indexedIDs_};
    outcome.settled = previousStates_ == statesBefore;
    // chooseTasks reports an active task while now - updatedAt <= its freshness.
    for (const auto& task : captured_) {
        if (!isActive(task.state)) continue;
        Date edge = task.updatedAt + (task.state == TaskState::running ? runningFreshness : waitingFreshness);
        if (!(edge < now) && (!outcome.sameUntil || edge < *outcome.sameUntil)) outcome.sameUntil = edge;
    }
    if (metadataCount_ > 0) {
        auto current = std::count_if(report.tasks.begin(), report.tasks.end(),
                                     [](const TaskSnapshot& t) { return isActive(t.state); });
        outcome.status = "Local session event source connected · " + std::to_string(current) + " current task" +
                         (current == 1 ? "" : "s");
    } else {
        outcome.status = "Local session event source connected; waiting for a new Cowork task";
    }
    outcome.healthy = true;
    outcome.report = std::move(report);
    return outcome;
}

}  // namespace vigilorb::claude::cowork
