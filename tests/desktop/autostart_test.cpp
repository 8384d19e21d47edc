#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "desktop/autostart.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::desktop;
namespace fs = std::filesystem;

namespace {

TEST(AutostartEntry, ExecKeepsAnyExecutablePathIntact) {
    const char* paths[] = {
        "/usr/bin/vigilorb-companion",
        "/home/ann/My Apps/vigilorb-companion",
        "/opt/a\"quote/vigilorb-companion",
        "/opt/dollar$HOME/back\\slash/vigilorb-companion",
        "/opt/100%/`tick`/vigilorb-companion",
        "/opt/new\nline/tab\there/vigilorb-companion",
        "/opt/semi;colon&amp|pipe<>(x)*?#~'/vigilorb-companion",
    };
    for (const char* path : paths) {
        auto text = autostartEntryText(path);
        EXPECT_EQ(execArguments(text), (std::vector<std::string>{path, "--hidden"})) << path;
        EXPECT_EQ(entryStatus(text, path), LoginItemStatus::enabled) << path;
        // One line per key: nothing in the path may break the entry into more lines.
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 8) << path;
    }
}

TEST(AutostartEntry, StatusOfEntriesWrittenByOthers) {
    const fs::path exe = "/usr/bin/vigilorb-companion";
    struct Case {
        const char* name;
        std::string text;
        LoginItemStatus status;
    } cases[] = {
        {"ours", autostartEntryText(exe), LoginItemStatus::enabled},
        {"ours, path not normalised", "[Desktop Entry]\nExec=/usr/lib/../bin/vigilorb-companion --hidden\n",
         LoginItemStatus::enabled},
        {"hidden by the user", autostartEntryText(exe) + "Hidden=true\n", LoginItemStatus::requiresApproval},
        {"switched off in GNOME", "[Desktop Entry]\nExec=/usr/bin/vigilorb-companion\nX-GNOME-Autostart-enabled=false\n",
         LoginItemStatus::requiresApproval},
        {"Hidden=false", autostartEntryText(exe) + "Hidden=false\n", LoginItemStatus::enabled},
        {"an older copy", autostartEntryText("/opt/old/vigilorb-companion"), LoginItemStatus::notRegistered},
        {"a bare name", "[Desktop Entry]\nExec=vigilorb-companion\n", LoginItemStatus::notRegistered},
        {"no Exec", "[Desktop Entry]\nType=Application\n", LoginItemStatus::notRegistered},
        {"Exec in another group", "[Desktop Action x]\nExec=/usr/bin/vigilorb-companion\n",
         LoginItemStatus::notRegistered},
        {"unterminated quote", "[Desktop Entry]\nExec=\"/usr/bin/vigilorb-companion\n", LoginItemStatus::notRegistered},
        {"not an entry", "\x01\x02garbage", LoginItemStatus::notRegistered},
    };
    for (const auto& c : cases) EXPECT_EQ(entryStatus(c.text, exe), c.status) << c.name;
}

TEST(AutostartEntry, InstallPrefixIsMatchedByWholeComponents) {
    struct Case {
        const char* exe;
        const char* prefix;
        bool inside;
    } cases[] = {
        {"/usr/bin/vigilorb-companion", "/usr", true},
        {"/usr/local/bin/vigilorb-companion", "/usr/local", true},
        {"/usr/local/bin/vigilorb-companion", "/usr/local/", true},
        {"/usr/local2/bin/vigilorb-companion", "/usr/local", false},
        {"/usr/local/../bin/vigilorb-companion", "/usr/local", false},
        {"/home/ann/src/build/ci/bin/vigilorb-companion", "/usr/local", false},
        {"/usr", "/usr", false},
        {"relative/bin/vigilorb-companion", "relative", false},
    };
    for (const auto& c : cases) EXPECT_EQ(runsFromInstallPrefix(c.exe, c.prefix), c.inside) << c.exe << " in " << c.prefix;
}

TEST(AutostartEntry, FileFollowsTheConfigHome) {
    auto env = [](std::map<std::string, std::string> vars) {
        return [vars](const char* name) -> std::optional<std::string> {
            auto it = vars.find(name);
            if (it == vars.end()) return std::nullopt;
            return it->second;
        };
    };
    EXPECT_EQ(autostartFile(env({{"XDG_CONFIG_HOME", "/c"}, {"HOME", "/h"}})),
              fs::path("/c/autostart/com.tarnbrook.VigilorbCompanion.desktop"));
    EXPECT_EQ(autostartFile(env({{"HOME", "/h"}})),
              fs::path("/h/.config/autostart/com.tarnbrook.VigilorbCompanion.desktop"));
}

// The reconcile and toggle rules against the real autostart file in a scratch config home.
struct LaunchAtLogin : ::testing::Test {
    test::TempDir dir;
    fs::path file = dir / "config" / "autostart" / "com.tarnbrook.VigilorbCompanion.desktop";
    fs::path prefix = "/usr/local";
    fs::path installed = "/usr/local/bin/vigilorb-companion";
    MemoryPreferences preferences;

    LaunchAtLoginState start(const fs::path& exe) {
        XdgAutostartService service(file, exe);
        return reconcileLaunchAtLogin(service, preferences, exe, prefix);
    }
    LaunchAtLoginState toggle(const fs::path& exe, bool on) {
        XdgAutostartService service(file, exe);
        return setLaunchAtLogin(service, preferences, on, exe);
    }
    std::optional<std::string> stored() const { return preferences.string(launchAtLoginPathKey); }
    std::vector<std::string> exec() const { return execArguments(test::readText(file)); }
};

TEST_F(LaunchAtLogin, BuildFolderNeverTouchesTheRegistrationAtStartUp) {
    fs::path build = dir / "build" / "bin" / "vigilorb-companion";
    auto state = start(build);
    EXPECT_FALSE(state.launchesAtLogin);
    EXPECT_FALSE(state.statusText);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(stored());

    // An entry of the installed copy stays as it is, and reads as off for this copy.
    ASSERT_TRUE(toggle(installed, true).launchesAtLogin);
    auto before = test::readText(file);
    EXPECT_FALSE(start(build).launchesAtLogin);
    EXPECT_EQ(test::readText(file), before);
    EXPECT_EQ(stored(), installed.string());

    // The toggle still works from a build folder and records that copy.
    auto on = toggle(build, true);
    EXPECT_TRUE(on.launchesAtLogin);
    EXPECT_EQ(exec(), (std::vector<std::string>{build.string(), "--hidden"}));
    EXPECT_EQ(stored(), build.string());
}

TEST_F(LaunchAtLogin, FirstStartFromTheInstallPrefixRegistersAndStoresThePath) {
    auto state = start(installed);
    EXPECT_TRUE(state.launchesAtLogin);
    EXPECT_FALSE(state.statusText);
    EXPECT_EQ(exec(), (std::vector<std::string>{installed.string(), "--hidden"}));
    EXPECT_EQ(stored(), installed.string());
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    // The next start finds it as it left it.
    EXPECT_TRUE(start(installed).launchesAtLogin);
}

TEST_F(LaunchAtLogin, MovedInstallationIsRegisteredAgain) {
    fs::path old = "/usr/local/lib/old/vigilorb-companion";
    ASSERT_TRUE(start(old).launchesAtLogin);
    auto state = start(installed);
    EXPECT_TRUE(state.launchesAtLogin);
    EXPECT_EQ(exec(), (std::vector<std::string>{installed.string(), "--hidden"}));
    EXPECT_EQ(stored(), installed.string());
}

TEST_F(LaunchAtLogin, SwitchedOffStaysOffAcrossStarts) {
    ASSERT_TRUE(start(installed).launchesAtLogin);
    auto off = toggle(installed, false);
    EXPECT_FALSE(off.launchesAtLogin);
    EXPECT_FALSE(off.statusText);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(stored(), installed.string());
    EXPECT_FALSE(start(installed).launchesAtLogin);
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(LaunchAtLogin, EntrySwitchedOffInTheDesktopIsNotOverriddenAtStartUp) {
    test::writeText(file, autostartEntryText(installed) + "Hidden=true\n");
    auto state = start(installed);
    EXPECT_FALSE(state.launchesAtLogin);
    EXPECT_FALSE(state.statusText);
    EXPECT_NE(test::readText(file).find("Hidden=true"), std::string::npos);
    // The toggle turns it on again by rewriting the entry.
    EXPECT_TRUE(toggle(installed, true).launchesAtLogin);
}

TEST_F(LaunchAtLogin, WriteFailuresShowTheirTextsAndTheRealState) {
    // A file where the autostart folder belongs: no entry can be written, even by root.
    test::writeText(dir / "config" / "autostart", "not a folder");
    auto atStart = start(installed);
    EXPECT_FALSE(atStart.launchesAtLogin);
    EXPECT_EQ(atStart.statusText, launchAtLoginOutdatedText);
    EXPECT_FALSE(stored());

    auto toggled = toggle(installed, true);
    EXPECT_FALSE(toggled.launchesAtLogin);
    EXPECT_EQ(toggled.statusText, launchAtLoginUpdateFailedText);
    EXPECT_FALSE(stored());
}

TEST_F(LaunchAtLogin, FailedRemovalSaysSo) {
    ASSERT_TRUE(toggle(installed, true).launchesAtLogin);
    // A non-empty folder in place of the file: remove() fails, also for root.
    fs::remove(file);
    fs::create_directories(file / "child");
    test::writeText(file / "child" / "x", "x");
    auto off = toggle(installed, false);
    EXPECT_EQ(off.statusText, launchAtLoginUpdateFailedText);
      EXPECT_FALSE(off.launchesAtLogin);  // a folder is no entry either way
}

}  // namespace
