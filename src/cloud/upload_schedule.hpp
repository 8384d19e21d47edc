#pragma once
// When the relay client uploads: a plain state machine without timers or sockets. The shell
// feeds it what happened (a snapshot change, an upload's outcome, its one timer firing) with
// the current monotonic time, and carries out the Step it returns.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vigilorb::cloud {

inline constexpr std::string_view syncedText = "Encrypted cloud snapshot synced";
inline constexpr std::string_view offlineText =
    "Cloud sync is temporarily offline; local network and cached data remain available";

// The relay stored the envelope: any 2xx answer. Everything else is temporary unavailability.
constexpr bool isAcceptedStatus(int httpStatus) { return httpStatus >= 200 && httpStatus <= 299; }

struct UploadDurations {
    std::chrono::milliseconds debounce{500};  // after a snapshot change, so a burst becomes one upload
    std::chrono::milliseconds retry{10000};   // after a failed attempt
};

class UploadSchedule {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    using Durations = UploadDurations;

    enum class Outcome { success, failure };

    // What the shell does after one input. Every field is independent; all may be set.
    struct Step {
        // Start one upload attempt of the current snapshot with this sequence number.
        std::optional<std::uint64_t> uploadSequence;
        // Store this number as the last one the relay accepted.
        std::optional<std::uint64_t> storeSequence;
        // Report this status text.
        std::optional<std::string_view> status;
        // The one timer: fire at this moment, or stay stopped when absent.
        std::optional<TimePoint> wakeAt;
    };

    // `storedSequence` is the last number the relay accepted for this companion.
    explicit UploadSchedule(std::uint64_t storedSequence, Durations durations = {});

    // A new client uploads at once.
    Step start(TimePoint now);
    // A new snapshot: upload it once no further change came for the debounce time. A pending
    // retry stays armed; whichever fires first uploads the newest snapshot.
    Step snapshotChanged(TimePoint now);
    // The timer fired (early or late firings are fine: only what is due runs).
    Step timerFired(TimePoint now);
    // The attempt with this sequence number ended. Outcomes of attempts that are no longer
    // current (after cancel) are ignored.
    Step uploadFinished(std::uint64_t sequence, Outcome outcome, TimePoint now);
    // The client is being replaced: nothing is due any more and no outcome counts.
    void cancel();

    // The last number used in memory (accepted or not).
    std::uint64_t sequence() const { return sequence_; }
    bool uploading() const { return inFlight_.has_value(); }

private:
    Step next(TimePoint now);
    std::optional<TimePoint> wakeAt() const;

    Durations durations_;
    std::uint64_t sequence_;
    std::uint64_t acceptedSequence_;
    std::optional<TimePoint> uploadDue_;
    std::optional<TimePoint> retryDue_;
    std::optional<std::uint64_t> inFlight_;
    bool cancelled_ = false;
};

}  // namespace vigilorb::cloud
