#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "claude/claude_connector.hpp"
#include "model/files.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::claude;
namespace fs = std::filesystem;

namespace {

struct Connector : ::testing::Test {
    test::TempDir dir;
    fs::path root = dir / "Profiles";
    fs::path exe = "/opt/Tallyloom/vigilorb-companion";
    fs::path settingsFile = root / "claude" / "work" / "settings.json";

    ConnectorOutcome prepare(std::string_view id = "work") { return prepareClaudeConnector(id, root, exe); }
    Json settings() { return Json::parse(test::readText(settingsFile)); }
};

unsigned permissions(const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 07777;
}

Json companionEntry(const std::string& command) {
    return Json{{"hooks", Json::array({Json{{"type", "command"}, {"command", command}, {"timeout", 10}}})}};
}

}  // namespace

TEST_F(Connector, FreshAccountGetsStatusLineAndEveryHook) {
    auto out = prepare();
    EXPECT_EQ(out.statusID, "Claude/work");
    EXPECT_EQ(out.detail, connectorInstalledText);
    EXPECT_TRUE(out.isHealthy);
    EXPECT_TRUE(out.ready);
    EXPECT_TRUE(fs::is_directory(root / "claude" / "work" / "inbox"));
    EXPECT_EQ(permissions(settingsFile), 0600u);

    std::string hook = "'/opt/Tallyloom/vigilorb-companion' --claude-hook work";
    Json expected = {
        {"statusLine",
         {{"type", "command"},
          {"command", "'/opt/Tallyloom/vigilorb-companion' --claude-statusline work"},
          {"refreshInterval", 30}}},
        {"hooks",
         {{"SessionStart", Json::array({companionEntry(hook)})},
          {"PermissionRequest", Json::array({companionEntry(hook)})},
          {"Stop", Json::array({companionEntry(hook)})},
          {"TaskCompleted", Json::array({companionEntry(hook)})},
          {"StopFailure", Json::array({companionEntry(hook)})},
          {"TaskCreated", Json::array({companionEntry(hook)})},
          {"UserPromptSubmit", Json::array({companionEntry(hook)})},
          {"PostToolUse", Json::array({companionEntry(hook)})},
          {"SessionEnd", Json::array({companionEntry(hook)})}}},
    };
    EXPECT_EQ(settings(), expected);
    // Pretty-printed with sorted keys: "hooks" comes before "statusLine", one key per line.
    auto text = test::readText(settingsFile);
    EXPECT_EQ(text, expected.dump(2) + "\n");
}

TEST_F(Connector, ExistingSettingsAreMergedNotReplaced) {
    Json user = {
        {"statusLine", {{"type", "command"}, {"command", "ccstatusline"}}},
        {"model", "opus"},
        {"permissions", {{"allow", Json::array({"Bash(ls)"})}}},
        {"hooks",
         {{"Stop", Json::array({companionEntry("other-tool --stop")})},
          {"PreToolUse", Json::array({companionEntry("guard")})},
          // Not an array of objects: replaced by the companion's own list.
          {"SessionStart", "broken"}}},
    };
    test::writeText(settingsFile, user.dump());
    auto out = prepare();
    EXPECT_EQ(out.detail, connectorPreservedText);
    EXPECT_FALSE(out.isHealthy);
    EXPECT_TRUE(out.ready);

    auto s = settings();
    std::string hook = "'/opt/Tallyloom/vigilorb-companion' --claude-hook work";
    EXPECT_EQ(s["statusLine"], user["statusLine"]);
    EXPECT_EQ(s["model"], "opus");
    EXPECT_EQ(s["permissions"], user["permissions"]);
    EXPECT_EQ(s["hooks"]["PreToolUse"], user["hooks"]["PreToolUse"]);
    EXPECT_EQ(s["hooks"]["Stop"], Json::array({companionEntry("other-tool --stop"), companionEntry(hook)}));
    EXPECT_EQ(s["hooks"]["SessionStart"], Json::array({companionEntry(hook)}));
}

TEST_F(Connector, SecondRunLeavesTheFileByteIdentical) {
    prepare();
    auto first = test::readText(settingsFile);
    auto out = prepare();
    EXPECT_EQ(test::readText(settingsFile), first);
    EXPECT_EQ(out.detail, connectorPreservedText);
    EXPECT_FALSE(out.isHealthy);

    // After the executable moved, the new hooks are appended and the old ones stay.
    exe = "/usr/lib/vigilorb/vigilorb-companion";
    prepare();
    EXPECT_EQ(settings()["hooks"]["Stop"].size(), 2u);
}

TEST_F(Connector, FileOfTheFirstVersionGainsTheNewEventsOnce) {
    // What the first connector wrote (four events), after the user added hooks of their own,
    // one of them for an event the connector now registers too.
    std::string hook = "'/opt/Tallyloom/vigilorb-companion' --claude-hook work";
    Json firstVersion = {
        {"statusLine",
         {{"type", "command"},
          {"command", "'/opt/Tallyloom/vigilorb-companion' --claude-statusline work"},
          {"refreshInterval", 30}}},
        {"hooks",
         {{"SessionStart", Json::array({companionEntry(hook)})},
          {"PermissionRequest", Json::array({companionEntry("notify-send approve"), companionEntry(hook)})},
          {"Stop", Json::array({companionEntry(hook)})},
          {"TaskCompleted", Json::array({companionEntry(hook)})},
          {"PostToolUse", Json::array({Json{{"matcher", "Edit"}, {"hooks", Json::array({Json{
                                                                          {"type", "command"},
                                                                          {"command", "prettier --write"}}})}}})},
          {"PreToolUse", Json::array({companionEntry("guard")})}}},
        {"model", "opus"},
    };
    test::writeText(settingsFile, firstVersion.dump(2) + "\n");
    for (int run = 0; run < 2; ++run) {
        prepare();
        auto s = settings();
        EXPECT_EQ(s["model"], "opus");
        EXPECT_EQ(s["statusLine"], firstVersion["statusLine"]);
        EXPECT_EQ(s["hooks"]["PreToolUse"], firstVersion["hooks"]["PreToolUse"]);
        for (const auto& event : connectorHookEvents) {
            const auto& entries = s["hooks"][event];
            auto ours = std::count(entries.begin(), entries.end(), companionEntry(hook));
            EXPECT_EQ(ours, 1) << event << " after run " << run;
        }
        // The user's entries stay, in their place, before the ones added now.
        EXPECT_EQ(s["hooks"]["PermissionRequest"], firstVersion["hooks"]["PermissionRequest"]);
        EXPECT_EQ(s["hooks"]["PostToolUse"],
                  Json::array({firstVersion["hooks"]["PostToolUse"][0], companionEntry(hook)}));
        EXPECT_EQ(s["hooks"].size(), connectorHookEvents.size() + 1);
    }
}

TEST_F(Connector, QuotedExecutablePathSurvivesTheShell) {
    // A real program under a folder with an apostrophe and a space, run through sh as Claude Code does.
    auto folder = dir / "it's here";
    fs::create_directories(folder);
    exe = folder / "companion";
    test::writeText(exe, "#!/bin/sh\nprintf '%s|' \"$@\"\n");
    fs::permissions(exe, fs::perms::owner_all);
    prepare(" work\n");
    auto command = settings()["statusLine"]["command"].get<std::string>();
    EXPECT_EQ(command, "'" + (dir.path() / "it'\\''s here" / "companion").string() + "' --claude-statusline work");

    std::string shell = "/bin/sh -c " + shellQuoted(command);
    FILE* p = ::popen(shell.c_str(), "r");
    ASSERT_TRUE(p);
    char buffer[256] = {};
    auto n = std::fread(buffer, 1, sizeof buffer - 1, p);
    ::pclose(p);
    EXPECT_EQ(std::string(buffer, n), "--claude-statusline|work|");
}

TEST_F(Connector, AccountIDIsTrimmedAndValidatedBeforeAnythingIsWritten) {
    auto out = prepare("  work \n");
    EXPECT_EQ(out.statusID, "Claude/work");
    EXPECT_TRUE(out.isHealthy);

    for (std::string bad : std::vector<std::string>{"a/b", "..", "two words", std::string(65, 'x'), "", "   "}) {
        auto refused = prepare(bad);
        EXPECT_EQ(refused.statusID, "Claude/" + trimmedAccountID(bad));
        EXPECT_EQ(refused.detail, "Account IDs may contain only letters, numbers, hyphens, and underscores");
        EXPECT_FALSE(refused.isHealthy);
        EXPECT_FALSE(refused.ready);
    }
    EXPECT_EQ(fs::directory_iterator(root / "claude")->path().filename(), "work");
    EXPECT_EQ(std::distance(fs::directory_iterator(root / "claude"), fs::directory_iterator()), 1);
    EXPECT_TRUE(prepare(std::string(64, 'x')).ready);
}

TEST_F(Connector, FailuresLeaveExistingFilesAlone) {
    const auto failed = std::string(connectorFailedText);
    // Not an object, not JSON, a folder instead of the file.
    for (std::string content : {"[1,2]", "{\"statusLine\":", "\"text\""}) {
        test::writeText(settingsFile, content);
        auto out = prepare();
        EXPECT_EQ(out.detail, failed) << content;
        EXPECT_FALSE(out.isHealthy);
        EXPECT_EQ(test::readText(settingsFile), content);
    }
    // Too large to be Claude Code's settings (though valid JSON), or a FIFO that would block
    // the read forever: refused, and left as they are.
    auto oversized = R"({"pad":")" + std::string(maxSettingsFileBytes, 'x') + R"("})";
    test::writeText(settingsFile, oversized);
    EXPECT_EQ(prepare().detail, failed);
    EXPECT_EQ(test::readText(settingsFile), oversized);
    fs::remove(settingsFile);
    ASSERT_EQ(::mkfifo(settingsFile.c_str(), 0600), 0);
    EXPECT_EQ(prepare().detail, failed);
    EXPECT_TRUE(fs::is_fifo(settingsFile));

    fs::remove(settingsFile);
    fs::create_directories(settingsFile);
    EXPECT_EQ(prepare().detail, failed);

    // A Linux path may hold bytes that are not UTF-8; JSON cannot carry them, so the settings
    // are refused rather than written with replacement characters (a command that would not run).
    fs::remove_all(settingsFile);
    test::writeText(settingsFile, R"({"model":"opus"})");
    EXPECT_EQ(prepareClaudeConnector("work", root, fs::path("/opt/caf\xE9/vigilorb-companion")).detail, failed);
    EXPECT_EQ(test::readText(settingsFile), R"({"model":"opus"})");

    // No executable path, no profiles root, a file where the claude folder should be.
    EXPECT_EQ(prepareClaudeConnector("home", root, std::nullopt).detail, failed);
    EXPECT_EQ(prepareClaudeConnector("home", std::nullopt, exe).detail, failed);
    test::TempDir other;
    test::writeText(other / "Profiles" / "claude", "");
    EXPECT_EQ(prepareClaudeConnector("home", other / "Profiles", exe).detail, failed);
}

TEST_F(Connector, WriteFailureKeepsThePreviousSettings) {
    test::writeText(settingsFile, R"({"model":"opus"})");
    {
        test::FileSizeLimit limit(8);
        EXPECT_EQ(prepare().detail, connectorFailedText);
    }
    EXPECT_EQ(test::readText(settingsFile), R"({"model":"opus"})");
}

TEST(ClaudeCLIDetection, LooksInAbsolutePathEntriesThenFallbacks) {
    test::TempDir dir;
    auto withScript = dir / "bin";
    auto withPlainFile = dir / "plain";
    auto fallback = dir / "fallback";
    test::writeText(withScript / "claude", "#!/bin/sh\n");
    fs::permissions(withScript / "claude", fs::perms::owner_all);
    test::writeText(withPlainFile / "claude", "");
    test::writeText(fallback / "claude", "#!/bin/sh\n");
    fs::permissions(fallback / "claude", fs::perms::owner_all);
    fs::create_directories(dir / "folder" / "claude");  // a folder named claude is no executable

    auto env = [](std::optional<std::string> path) -> paths::Environment {
        return [path](const char* name) { return std::string(name) == "PATH" ? path : std::nullopt; };
    };
    std::vector<fs::path> none;
    EXPECT_TRUE(detectClaudeCLI(env(withPlainFile.string() + ":" + withScript.string()), none));
    EXPECT_FALSE(detectClaudeCLI(env(withPlainFile.string() + ":" + (dir / "folder").string()), none));
    EXPECT_FALSE(detectClaudeCLI(env(std::nullopt), none));
    EXPECT_TRUE(detectClaudeCLI(env(std::nullopt), {withPlainFile, fallback}));
    // Relative entries are ignored even when they would match from the current folder.
    auto cwd = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_FALSE(detectClaudeCLI(env("bin:./bin"), none));
    fs::current_path(cwd);
}
