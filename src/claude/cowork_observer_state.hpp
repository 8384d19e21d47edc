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
    };

    Outcome onCapture(Capture capture, Date now);

    // The tasks worth reporting among the captured ones, newest first; remembers their states.
    std::vector<TaskSnapshot> chooseTasks(const std::vector<TaskSnapshot>& captured, Date now);

    Date startedAt() const { return startedAt_; }
    // The cache the next capture starts from (a copy goes to the background scan).
    const ObservationCache& cache() const { return cache_; }
    int consecutiveFailures() const { return failures_; }

private:
    Date startedAt_;
    std::map<std::string, TaskState> previousStates_;
    ObservationCache cache_;
    int failures_ = 0;
};

}  // namespace vigilorb::claude::cowork
