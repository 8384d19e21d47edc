#pragma once
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "claude/cowork_capture.hpp"

// What the Cowork observer reports after each scan: the tasks that matter now, the unavailable
// signal after repeated failures, and the status line. Sans-I/O: the scan loop feeds it
// capture results and a clock reading and carries out what it returns.
namespace vigilorb::claude::cowork {

inline constexpr double runningFreshness = 900;
inline constexpr double waitingFreshness = 86400;

std::string_view errorText(ObserverError error);

class CoworkObserverState {
public:
    explicit CoworkObserverState(Date startedAt) : startedAt_(startedAt) {}

    struct Report {
        std::vector<TaskSnapshot> tasks;
        std::set<std::string> indexedIDs;
    };

    struct Outcome {
        // Set after a successful capture: hand it to the runtime, then show the status.
        std::optional<Report> report;
        // Set on the second failure in a row: tell the runtime first, then show the status.
        bool libraryUnavailable = false;
        std::string status;
        bool healthy = false;
        // After a success: whether this state came out of it as it went in, so that the same
        // capture applied again gives this same outcome until `sameUntil` (the first instant
        // a task's freshness runs out and the choice changes; none when no edge lies ahead).
        bool settled = false;
        std::optional<Date> sameUntil;
    };

    Outcome onCapture(Capture capture, Date now);
    // The last successful capture applied again at `now` (the files did not change since):
    // what onCapture would give for it, without holding the capture's cache twice. Requires
    // that the last capture succeeded.
    Outcome onUnchanged(Date now);

    // The tasks worth reporting among the captured ones, newest first; remembers their states.
    std::vector<TaskSnapshot> chooseTasks(const std::vector<TaskSnapshot>& captured, Date now);

    Date startedAt() const { return startedAt_; }
    // The cache the next capture starts from (a copy goes to the background scan).
    const ObservationCache& cache() const { return cache_; }
    int consecutiveFailures() const { return failures_; }

private:
    Outcome reported(Date now);

    Date startedAt_;
    std::map<std::string, TaskState> previousStates_;
    ObservationCache cache_;
    // What the last successful capture found, less its cache (kept above).
    std::vector<TaskSnapshot> captured_;
    std::set<std::string> indexedIDs_;
    std::size_t metadataCount_ = 0;
    int failures_ = 0;
};

}  // namespace vigilorb::claude::cowork
