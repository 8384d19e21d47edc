#include "codex/saved_accounts.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::codex;
using namespace std::string_literals;
using vigilorb::test::TempDir;
namespace fs = std::filesystem;

namespace {

// Keeps what was stored so the test can read the exact value.
class MapPreferences : public Preferences {
public:
    std::map<std::string, std::string> values;
    std::optional<std::string> string(std::string_view key) const override {
        auto it = values.find(std::string(key));
        return it == values.end() ? std::nullopt : std::optional(it->second);
    }
    std::optional<bool> boolean(std::string_view) const override { return std::nullopt; }
    std::optional<long long> integer(std::string_view) const override { return std::nullopt; }
    void setString(std::string_view key, std::string_view value) override { values[std::string(key)] = value; }
    void setBoolean(std::string_view, bool) override {}
    void setInteger(std::string_view, long long) override {}
    void remove(std::string_view key) override { values.erase(std::string(key)); }
};

TEST(SavedCodexAccounts, UpsertKeepsOneSortedEntryPerID) {
    MapPreferences prefs;
    upsertSavedCodexAccount(prefs, "b", false);
    upsertSavedCodexAccount(prefs, "a", true);
    EXPECT_EQ(prefs.values.at("provider.codexAccounts.v1"),
              R"([{"id":"a","isolatedProfile":true},{"id":"b","isolatedProfile":false}])");
    upsertSavedCodexAccount(prefs, "a", false);
    EXPECT_EQ(loadSavedCodexAccounts(prefs), (std::vector<SavedCodexAccount>{{"a", false}, {"b", false}}));
    removeSavedCodexAccount(prefs, "a");
    EXPECT_EQ(loadSavedCodexAccounts(prefs), (std::vector<SavedCodexAccount>{{"b", false}}));
}

TEST(SavedCodexAccounts, UndecodableValuesReadAsEmpty) {
    for (const std::string& stored :
         {R"([{"id":"a","isolatedProfile":true},{"id":"b"}])"s, R"({"id":"a"})"s, "garbage"s,
          R"([{"id":1,"isolatedProfile":true}])"s, R"([{"id":"a","isolatedProfile":"yes"}])"s, ""s,
          R"([{"id":"a","isolatedProfile":true}])" "\0garbage"s}) {
        MapPreferences prefs;
        prefs.values["provider.codexAccounts.v1"] = stored;
        EXPECT_TRUE(loadSavedCodexAccounts(prefs).empty()) << stored;
        upsertSavedCodexAccount(prefs, "c", true);  // overwritten by the next upsert
        EXPECT_EQ(loadSavedCodexAccounts(prefs), (std::vector<SavedCodexAccount>{{"c", true}}));
    }
    MapPreferences empty;
    EXPECT_TRUE(loadSavedCodexAccounts(empty).empty());
}

TEST(CodexProfiles, IsolatedFolderIsCreatedPrivate) {
    TempDir dir;
    auto env = [&](const char* name) -> std::optional<std::string> {
        if (std::string(name) == "XDG_DATA_HOME") return (dir / "data").string();
        if (std::string(name) == "HOME") return (dir / "home").string();
        return std::nullopt;
    };
    auto folder = prepareIsolatedProfile("team_2", env).value();
    EXPECT_EQ(folder, dir / "data/VigilorbCompanion/Profiles/codex/team_2");
    EXPECT_EQ(folder, isolatedProfileDirectory("team_2", env).value());
    struct stat st{};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(prepareIsolatedProfile("team_2", env).value(), folder);  // existing is fine

    // A file where a folder should be.
    vigilorb::test::writeText(dir / "data/VigilorbCompanion/Profiles/codex/blocked", "x");
    auto blocked = prepareIsolatedProfile("blocked", env);
    ASSERT_FALSE(blocked);
    EXPECT_EQ(blocked.error().code, ProfileError::folderCreationFailed);
}

}  // namespace
