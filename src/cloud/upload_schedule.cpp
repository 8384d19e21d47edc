#include "cloud/upload_schedule.hpp"

#include <algorithm>

namespace vigilorb::cloud {

UploadSchedule::UploadSchedule(std::uint64_t storedSequence, Durations durations)
    : durations_(durations), sequence_(storedSequence), acceptedSequence_(storedSequence) {}

UploadSchedule::Step UploadSchedule::start(TimePoint now) {
    if (cancelled_) return {};
    uploadDue_ = now;
    return next(now);
}

UploadSchedule::Step UploadSchedule::snapshotChanged(TimePoint now) {
    if (cancelled_) return {};
    uploadDue_ = now + durations_.debounce;
    return next(now);
}

UploadSchedule::Step UploadSchedule::timerFired(TimePoint now) {
    if (cancelled_) return {};
    return next(now);
}

UploadSchedule::Step UploadSchedule::uploadFinished(std::uint64_t sequence, Outcome outcome, TimePoint now) {
    if (cancelled_ || inFlight_ != sequence) return cancelled_ ? Step{} : next(now);
    inFlight_.reset();
    Step step;
    if (outcome == Outcome::success) {
        // One attempt at a time, so accepted numbers only grow; the check keeps the stored
        // number from ever going back should that change.
        if (sequence > acceptedSequence_) {
            acceptedSequence_ = sequence;
            step.storeSequence = sequence;
        }
        retryDue_.reset();
        step.status = syncedText;
    } else {
        retryDue_ = now + durations_.retry;
        step.status = offlineText;
    }
    auto rest = next(now);
    step.uploadSequence = rest.uploadSequence;
    step.wakeAt = rest.wakeAt;
    return step;
}

void UploadSchedule::cancel() {
    cancelled_ = true;
    uploadDue_.reset();
    retryDue_.reset();
    inFlight_.reset();
}

UploadSchedule::Step UploadSchedule::next(TimePoint now) {
    Step step;
    // A second request while one is in flight could reach the relay out of order (and an
    // older number could be stored after a newer one), so what falls due waits for the end
    // of the current attempt.
    if (!inFlight_) {
        bool due = false;
        if (uploadDue_ && *uploadDue_ <= now) {
            uploadDue_.reset();
            due = true;
        }
        if (retryDue_ && *retryDue_ <= now) {
            retryDue_.reset();
            due = true;
        }
        if (due) {
            ++sequence_;
            inFlight_ = sequence_;
            step.uploadSequence = sequence_;
        }
    }
    step.wakeAt = wakeAt();
    return step;
}

std::optional<UploadSchedule::TimePoint> UploadSchedule::wakeAt() const {
    // While an attempt runs nothing can start; its outcome wakes the schedule.
    if (inFlight_) return std::nullopt;
    std::optional<TimePoint> at;
    for (const auto& due : {uploadDue_, retryDue_})
        if (due) at = at ? std::min(*at, *due) : *due;
    return at;
}

}  // namespace vigilorb::cloud
