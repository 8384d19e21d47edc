#include <gtest/gtest.h>

#include <vector>

#include "cloud/upload_schedule.hpp"

using namespace vigilorb::cloud;
using namespace std::chrono_literals;
using Schedule = UploadSchedule;
using Outcome = UploadSchedule::Outcome;

namespace {

const Schedule::TimePoint t0{std::chrono::hours(1)};

Schedule::TimePoint at(std::chrono::milliseconds offset) { return t0 + offset; }

// Plays the shell: fires the timer whenever it is due up to `until`, and records the uploads.
struct Shell {
    Schedule schedule;
    std::optional<Schedule::TimePoint> wake;
    std::vector<std::uint64_t> uploads;
    std::vector<std::uint64_t> stored;
    std::vector<std::string_view> statuses;

    explicit Shell(std::uint64_t storedSequence) : schedule(storedSequence) {}

    void apply(const Schedule::Step& step) {
        if (step.uploadSequence) uploads.push_back(*step.uploadSequence);
        if (step.storeSequence) stored.push_back(*step.storeSequence);
        if (step.status) statuses.push_back(*step.status);
        wake = step.wakeAt;
    }
    void runUntil(Schedule::TimePoint until) {
        while (wake && *wake <= until) apply(schedule.timerFired(*wake));
    }
};

}  // namespace

TEST(UploadSchedule, ANewClientUploadsAtOnceWithTheNextSequenceNumber) {
    Shell shell(41);
    shell.apply(shell.schedule.start(t0));
    EXPECT_EQ(shell.uploads, std::vector<std::uint64_t>{42});
    EXPECT_FALSE(shell.wake);
}

TEST(UploadSchedule, ABurstOfChangesBecomesOneUploadAfterTheLastChangeSettles) {
    Shell shell(0);
    shell.apply(shell.schedule.snapshotChanged(at(0ms)));
    shell.apply(shell.schedule.snapshotChanged(at(200ms)));
    shell.apply(shell.schedule.snapshotChanged(at(400ms)));
    ASSERT_TRUE(shell.wake);
    EXPECT_EQ(*shell.wake, at(900ms));
    // A stale firing at the first change's deadline starts nothing.
    shell.apply(shell.schedule.timerFired(at(500ms)));
    EXPECT_TRUE(shell.uploads.empty());
    shell.runUntil(at(900ms));
    EXPECT_EQ(shell.uploads, std::vector<std::uint64_t>{1});
}

TEST(UploadSchedule, OutcomesOfTheRelayAnswer) {
    struct Case {
        int status;
        bool accepted;
    };
    for (auto c : {Case{200, true}, Case{204, true}, Case{299, true}, Case{199, false}, Case{300, false},
                   Case{401, false}, Case{500, false}}) {
        SCOPED_TRACE(c.status);
        EXPECT_EQ(isAcceptedStatus(c.status), c.accepted);
        Shell shell(0);
        shell.apply(shell.schedule.start(t0));
        shell.apply(shell.schedule.uploadFinished(1, c.accepted ? Outcome::success : Outcome::failure, at(100ms)));
        if (c.accepted) {
            EXPECT_EQ(shell.statuses, std::vector<std::string_view>{syncedText});
            EXPECT_EQ(shell.stored, std::vector<std::uint64_t>{1});
            EXPECT_FALSE(shell.wake);
        } else {
            EXPECT_EQ(shell.statuses, std::vector<std::string_view>{offlineText});
            EXPECT_TRUE(shell.stored.empty());
            ASSERT_TRUE(shell.wake);
            EXPECT_EQ(*shell.wake, at(10100ms));  // the retry, 10 s after the failure
            shell.runUntil(at(10100ms));
            EXPECT_EQ(shell.uploads, (std::vector<std::uint64_t>{1, 2}));
        }
    }
}

TEST(UploadSchedule, FailedAttemptsUseNumbersThatAreNeverStored) {
    Shell shell(7);
    shell.apply(shell.schedule.start(t0));
    shell.apply(shell.schedule.uploadFinished(8, Outcome::failure, at(1s)));
    shell.runUntil(at(11s));
    shell.apply(shell.schedule.uploadFinished(9, Outcome::failure, at(12s)));
    shell.runUntil(at(22s));
    shell.apply(shell.schedule.uploadFinished(10, Outcome::success, at(23s)));
    EXPECT_EQ(shell.uploads, (std::vector<std::uint64_t>{8, 9, 10}));
    EXPECT_EQ(shell.stored, std::vector<std::uint64_t>{10});
    EXPECT_FALSE(shell.wake);  // the success ended the retries
    shell.apply(shell.schedule.snapshotChanged(at(30s)));
    shell.runUntil(at(31s));
    EXPECT_EQ(shell.uploads.back(), 11u);
}

TEST(UploadSchedule, AChangeDuringAnAttemptUploadsOnceThatAttemptHasEnded) {
    Shell shell(0);
    shell.apply(shell.schedule.start(t0));
    shell.apply(shell.schedule.snapshotChanged(at(100ms)));
    // The debounce ran out while the first request was still open: no second request yet,
    // and no timer spinning on a deadline that has passed.
    shell.apply(shell.schedule.timerFired(at(600ms)));
    EXPECT_EQ(shell.uploads, std::vector<std::uint64_t>{1});
    EXPECT_FALSE(shell.wake);
    shell.apply(shell.schedule.uploadFinished(1, Outcome::success, at(2s)));
    EXPECT_EQ(shell.uploads, (std::vector<std::uint64_t>{1, 2}));
    shell.apply(shell.schedule.uploadFinished(2, Outcome::success, at(3s)));
    EXPECT_EQ(shell.stored, (std::vector<std::uint64_t>{1, 2}));
}

TEST(UploadSchedule, AChangeWhileARetryIsPendingUploadsAfterTheDebounceAndASuccessEndsTheRetry) {
    Shell shell(0);
    shell.apply(shell.schedule.start(t0));
    shell.apply(shell.schedule.uploadFinished(1, Outcome::failure, at(1s)));
    shell.apply(shell.schedule.snapshotChanged(at(2s)));
    EXPECT_EQ(*shell.wake, at(2500ms));
    shell.runUntil(at(2500ms));
    EXPECT_EQ(shell.uploads, (std::vector<std::uint64_t>{1, 2}));
    shell.apply(shell.schedule.uploadFinished(2, Outcome::success, at(3s)));
    EXPECT_FALSE(shell.wake);
    shell.runUntil(at(60s));
    EXPECT_EQ(shell.uploads.size(), 2u);
}

TEST(UploadSchedule, AfterCancelNothingIsDueAndLateOutcomesAreIgnored) {
    Shell shell(0);
    shell.apply(shell.schedule.start(t0));
    shell.apply(shell.schedule.snapshotChanged(at(100ms)));
    shell.schedule.cancel();
    shell.apply(shell.schedule.uploadFinished(1, Outcome::success, at(1s)));
    shell.apply(shell.schedule.snapshotChanged(at(2s)));
    shell.apply(shell.schedule.timerFired(at(20s)));
    EXPECT_EQ(shell.uploads, std::vector<std::uint64_t>{1});
    EXPECT_TRUE(shell.stored.empty());
    EXPECT_TRUE(shell.statuses.empty());
    EXPECT_FALSE(shell.wake);
}

TEST(UploadSchedule, AnOutcomeForAnotherAttemptChangesNothing) {
    Shell shell(0);
    shell.apply(shell.schedule.start(t0));
    shell.apply(shell.schedule.uploadFinished(5, Outcome::success, at(1s)));
    EXPECT_TRUE(shell.stored.empty());
    EXPECT_TRUE(shell.schedule.uploading());
}
