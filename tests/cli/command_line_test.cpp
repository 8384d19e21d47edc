#include <gtest/gtest.h>

#include "model/events.hpp"
#include "model/files.hpp"
#include "cli/claude_inbox.hpp"
#include "cli/command_line.hpp"
#include "cli/process.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::cli;
namespace fs = std::filesystem;

namespace {

const Date now = Date::fromReference(800000000);

struct CommandLine : ::testing::Test {
    test::TempDir dir;
    paths::Environment env = [this](const char* name) -> std::optional<std::string> {
        if (std::string(name) == "XDG_DATA_HOME") return (dir / "data").string();
        return std::nullopt;
    };
    fs::path inbox = dir / "data" / "VigilorbCompanion" / "Profiles" / "claude" / "work" / "inbox";

    CommandLineResult run(CommandLineMode mode, std::string_view input) {
        return runCommandLine({mode, "work"}, input, env, [] { return now; });
    }
    std::vector<ProviderEventEnvelope> files() {
        std::vector<ProviderEventEnvelope> out;
        for (const auto& e : fs::directory_iterator(inbox)) out.push_back(decodeEnvelope(files::read(e.path()).value()).value());
        return out;
    }
};

std::optional<CommandLineRequest> request(std::vector<const char*> argv) {
    return commandLineRequest(static_cast<int>(argv.size()), argv.data());
}

}  // namespace

TEST(CommandLineRequest, OnlyExactlyThreeArgumentsWithAValidIDSelectAMode) {
    auto r = request({"exe", "--claude-statusline", "work"});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->mode, CommandLineMode::statusLine);
    EXPECT_EQ(r->accountID, "work");
    r = request({"exe", "--claude-hook", "Ärger_2-x"});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->mode, CommandLineMode::hook);

    std::string long65(65, 'a');
    std::vector<std::vector<const char*>> appRole = {
        {"exe"},
        {"exe", "--claude-hook"},
        {"exe", "--claude-hook", "work", "extra"},
        {"exe", "--claude-Hook", "work"},
        {"exe", "--claude-statusline=work", "x"},
        {"exe", "--claude-hook", "a/b"},
        {"exe", "--claude-hook", ".."},
        {"exe", "--claude-hook", "two words"},
        {"exe", "--claude-hook", ""},
        {"exe", "--claude-hook", long65.c_str()},
    };
    for (const auto& argv : appRole) EXPECT_FALSE(request(argv)) << argv.size() << " " << argv.back();
}

TEST_F(CommandLine, StatusLineWithRateLimitsWritesOneQuotaEvent) {
    auto result = run(CommandLineMode::statusLine,
                      R"({"session_id":"s","rate_limits":{"five_hour":{"used_percentage":37,"resets_at":1796888558}}})");
    EXPECT_EQ(result.output, "Tallyloom · local only\n");
    EXPECT_EQ(result.exitStatus, 0);
    auto envelopes = files();
    ASSERT_EQ(envelopes.size(), 1u);
    auto* quota = envelopes[0].event.asQuota();
    ASSERT_TRUE(quota);
    EXPECT_EQ(quota->accountID, "work");
    EXPECT_EQ(quota->capturedAt, now);
    EXPECT_EQ(envelopes[0].recordedAt, now);
}

TEST_F(CommandLine, InputWithoutEventsStillPrintsAndCreatesTheInbox) {
    std::string huge = R"({"rate_limits":{"five_hour":{"used_percentage":1}},"pad":")" + std::string(8 << 20, 'x');
    struct Case {
        CommandLineMode mode;
        std::string input;
    } cases[] = {
        {CommandLineMode::statusLine, R"({"model":{"id":"x"}})"},
        {CommandLineMode::statusLine, ""},
        {CommandLineMode::statusLine, "\xff\xfe garbage"},
        {CommandLineMode::statusLine, huge},  // cut off before its end: not JSON
        {CommandLineMode::statusLine, std::string(100000, '[')},
        {CommandLineMode::hook, R"({"session_id":"s1","hook_event_name":"Notification"})"},
        {CommandLineMode::hook, R"({"hook_event_name":"Stop"})"},
        {CommandLineMode::hook, "[]"},
    };
    for (const auto& c : cases) {
        auto result = run(c.mode, c.input);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.output, c.mode == CommandLineMode::statusLine ? "Tallyloom · local only\n" : "");
        EXPECT_TRUE(fs::is_directory(inbox));
        EXPECT_TRUE(fs::is_empty(inbox)) << c.input.substr(0, 40);
    }
}

TEST_F(CommandLine, EventsRefusedForTheirSizeExitWithOne) {
    // Each of these once gave a file over the drain's limit (deleted unread, the event lost
    // without a word) or was read whole however large.
    const std::string stop = R"({"session_id":"s1","hook_event_name":"Stop"})";
    auto padded = [&](std::size_t size) { return stop + std::string(size - stop.size(), ' '); };
    struct Case {
        const char* name;
        std::string input;
        int exitStatus;
        std::size_t files;
    } cases[] = {
        {"input at the cap", padded(maxInputBytes), 0, 1},
        {"input past the cap", padded(maxInputBytes + 1), 1, 0},
        {"2 MiB session ID", R"({"hook_event_name":"Stop","session_id":")" + std::string(2 << 20, 's') + "\"}", 1, 0},
        {"2 MiB task ID", R"({"session_id":"s1","hook_event_name":"TaskCreated","task_id":")" + std::string(2 << 20, '7') + "\"}", 1, 0},
        {"oversized ID of an event not kept", R"({"hook_event_name":"Notification","session_id":")" + std::string(2 << 20, 's') + "\"}", 0, 0},
    };
    for (const auto& c : cases) {
        fs::remove_all(inbox);
        auto result = run(CommandLineMode::hook, c.input);
        EXPECT_EQ(result.exitStatus, c.exitStatus) << c.name;
        EXPECT_EQ(result.output, "") << c.name;
        EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(inbox), fs::directory_iterator{})), c.files)
            << c.name;
    }

    // A title of one 1.2 MB character is cut, and the event arrives in a file the drain reads.
    std::string zalgo = "Z";
    for (int i = 0; i < 600000; ++i) zalgo += "\u0301";
    fs::remove_all(inbox);
    auto result = run(CommandLineMode::hook,
                      Json{{"session_id", "s1"}, {"hook_event_name", "PermissionRequest"}, {"task_subject", zalgo}}.dump());
    EXPECT_EQ(result.exitStatus, 0);
    std::vector<fs::path> written(fs::directory_iterator(inbox), fs::directory_iterator{});
    ASSERT_EQ(written.size(), 1u);
    auto bytes = files::read(written[0], maxEventFileBytes);
    ASSERT_TRUE(bytes);
    auto envelopes = decodeEventFile(*bytes).value();
    ASSERT_EQ(envelopes.size(), 2u);
    EXPECT_LE(envelopes[0].event.asTask()->title.size(), maxTitleBytes);

    // The status line reads past the cap as any input it cannot use: its line, no event, 0.
    fs::remove_all(inbox);
    auto line = run(CommandLineMode::statusLine,
                    R"({"rate_limits":{"five_hour":{"used_percentage":1}}})" + std::string(maxInputBytes, ' '));
    EXPECT_EQ(line.exitStatus, 0);
    EXPECT_EQ(line.output, statusLineText);
    EXPECT_TRUE(fs::is_empty(inbox));
}

TEST_F(CommandLine, PermissionRequestWritesTaskThenPendingActionInOneFile) {
    auto result = run(CommandLineMode::hook,
                      R"({"session_id":"s1","hook_event_name":"PermissionRequest","tool_name":"AskUserQuestion"})");
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.exitStatus, 0);
    std::vector<fs::path> written(fs::directory_iterator(inbox), fs::directory_iterator{});
    ASSERT_EQ(written.size(), 1u);
    auto envelopes = cli::decodeEventFile(files::read(written[0]).value()).value();
    ASSERT_EQ(envelopes.size(), 2u);
    ASSERT_TRUE(envelopes[0].event.asTask());
    EXPECT_EQ(envelopes[0].event.asTask()->state, TaskState::waitingApproval);
    ASSERT_TRUE(envelopes[1].event.asPendingAction());
    EXPECT_EQ(envelopes[1].event.asPendingAction()->kind, PendingActionKind::userInput);
    for (const auto& e : envelopes) {
        EXPECT_EQ(e.event.accountID(), "work");
        EXPECT_EQ(e.recordedAt, now);
    }
}

TEST_F(CommandLine, InboxFailuresExitWithOne) {
    // No Application Support: no XDG_DATA_HOME and no usable HOME. The password database still
    // names a home for root, so make the data folder unusable instead.
    test::writeText(dir / "data", "a file, not a folder");
    auto result = run(CommandLineMode::statusLine, "{}");
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.output, "Tallyloom · local only\n");
    fs::remove(dir / "data");

    fs::create_directories(inbox);
    test::FileSizeLimit limit(16);
    EXPECT_EQ(run(CommandLineMode::hook, R"({"session_id":"s1","hook_event_name":"Stop"})").exitStatus, 1);
    EXPECT_TRUE(fs::is_empty(inbox));
}

TEST(CurrentExecutable, ReplacedFileIsFoundAtItsPathAgain) {
    test::TempDir dir;
    test::writeText(dir / "companion", "");
    test::writeText(dir / "odd (deleted)", "");  // a real file whose name has the suffix
    struct Case {
        fs::path linkTarget;
        std::optional<fs::path> expected;
    } cases[] = {
        {dir / "companion", dir / "companion"},
        {(dir / "companion").string() + " (deleted)", dir / "companion"},  // upgraded in place
        {(dir / "gone").string() + " (deleted)", std::nullopt},            // removed for good
        {dir / "odd (deleted)", dir / "odd (deleted)"},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(cli::executableFromLink(c.linkTarget), c.expected) << c.linkTarget;
    EXPECT_TRUE(cli::currentExecutable());
}

TEST(InstanceLock, OneHolderUntilItEnds) {
    test::TempDir dir;
    auto file = dir / "VigilorbCompanion" / "companion.lock";
    {
        auto first = cli::InstanceLock::acquire(file);
        ASSERT_TRUE(first.has_value());
        // Handing the lock on (as returning it does) must not let it go.
        auto held = std::move(*first);
        auto second = cli::InstanceLock::acquire(file);
        ASSERT_FALSE(second.has_value());
        EXPECT_EQ(second.error(), cli::InstanceLockError::alreadyRunning);
    }
    EXPECT_TRUE(cli::InstanceLock::acquire(file).has_value());  // released with its holder

    test::writeText(dir / "blocked", "");  // a file where the folder should be
    auto blocked = cli::InstanceLock::acquire(dir / "blocked" / "companion.lock");
    ASSERT_FALSE(blocked.has_value());
    EXPECT_EQ(blocked.error(), cli::InstanceLockError::unavailable);
}
