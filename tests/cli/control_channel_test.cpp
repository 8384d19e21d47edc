#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/control_channel.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::cli;
namespace fs = std::filesystem;

TEST(ControlChannel, RequestLines) {
    struct Case {
        std::string line;
        std::expected<Request, RequestError> expected;
    };
    const std::vector<Case> cases = {
        {"pair", Request{"pair", ""}},
        {"relay-address https://relay.example/base", Request{"relay-address", "https://relay.example/base"}},
        {"relay-address  spaced  text ", Request{"relay-address", " spaced  text "}},
        {"relay-address", Request{"relay-address", ""}},
        {"", std::unexpected(RequestError::malformed)},
        {"PAIR", std::unexpected(RequestError::malformed)},
        {"pair\r", std::unexpected(RequestError::malformed)},
        {"relay-address a\tb", std::unexpected(RequestError::malformed)},
        {" pair", std::unexpected(RequestError::malformed)},
        {std::string(33, 'a'), std::unexpected(RequestError::malformed)},
        {"relay-address " + std::string(requestLimit, 'a'), std::unexpected(RequestError::tooLarge)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 60));
        EXPECT_EQ(parseRequest(c.line), c.expected);
    }
    // What the client sends is what the server reads.
    Request request{"relay-address", "https://relay.example"};
    auto line = encodeRequest(request);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "relay-address https://relay.example\n");
    EXPECT_EQ(parseRequest(std::string_view(*line).substr(0, line->size() - 1)), request);
    EXPECT_FALSE(encodeRequest({"relay-address", "two\nlines"}));
    EXPECT_FALSE(encodeRequest({"relay-address", std::string(requestLimit, 'a')}));
}

TEST(ControlChannel, AnswersCannotForgeLines) {
    Response response{true, "", {{"invitation", R"({"a":1})"}, {"message", "one\nok\r\nfake line"}}};
    auto text = encodeResponse(response);
    EXPECT_EQ(text, "ok\ninvitation {\"a\":1}\nmessage one ok  fake line\n");
    auto parsed = parseResponse(text);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->ok);
    EXPECT_EQ(parsed->field("invitation"), R"({"a":1})");
    EXPECT_EQ(parsed->field("message"), "one ok  fake line");
    EXPECT_EQ(parseResponse(encodeResponse({false, "No\nway", {}})), (Response{false, "No way", {}}));
    for (std::string bad : {"", "ok", "maybe\n", "ok\nfieldwithoutvalue\n", "ok\nname value"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(parseResponse(bad));
    }
}

TEST(ControlChannel, SocketFolder) {
    auto env = [](std::map<std::string, std::string> values) {
        return [values](const char* name) -> std::optional<std::string> {
            auto it = values.find(name);
            return it == values.end() ? std::nullopt : std::optional(it->second);
        };
    };
    EXPECT_EQ(socketFolder(env({{"XDG_RUNTIME_DIR", "/run/user/1000"}}), 1000), "/run/user/1000/VigilorbCompanion");
    EXPECT_EQ(socketFolder(env({{"TMPDIR", "/var/tmp"}}), 1000), "/var/tmp/VigilorbCompanion-1000");
    // A relative runtime folder would depend on where the command was started.
    EXPECT_EQ(socketFolder(env({{"XDG_RUNTIME_DIR", "run"}}), 7), "/tmp/VigilorbCompanion-7");
}

TEST(ControlChannel, OnlyAPrivateFolderOfThisUserIsUsed) {
    test::TempDir dir;
    auto uid = ::geteuid();
    EXPECT_TRUE(preparePrivateFolder(dir / "fresh", uid));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "fresh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(preparePrivateFolder(dir / "fresh", uid));  // again, as at the next start

    fs::create_directory(dir / "open");
    fs::permissions(dir / "open", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    EXPECT_EQ(preparePrivateFolder(dir / "open", uid), std::unexpected(FolderError::notPrivate));
    fs::create_directory_symlink(dir / "fresh", dir / "link");
    EXPECT_EQ(preparePrivateFolder(dir / "link", uid), std::unexpected(FolderError::notPrivate));
    EXPECT_EQ(preparePrivateFolder(dir / "fresh", uid + 1), std::unexpected(FolderError::notPrivate));
    test::writeText(dir / "file", "x");
    EXPECT_EQ(preparePrivateFolder(dir / "file", uid), std::unexpected(FolderError::notPrivate));
    EXPECT_EQ(preparePrivateFolder(dir / "missing" / "deeper", uid), std::unexpected(FolderError::cannotCreate));
}

TEST(ControlChannel, CommandsOfTheLauncher) {
    struct Case {
        std::vector<const char*> argv;
        std::optional<Request> expected;
    };
    const std::vector<Case> cases = {
        {{"vigilorb-companion", "--pair"}, Request{"pair", ""}},
        {{"vigilorb-companion", "--relay-address", "https://relay.example"}, Request{"relay-address", "https://relay.example"}},
        {{"vigilorb-companion", "--relay-address", ""}, Request{"relay-address", ""}},
        {{"vigilorb-companion"}, std::nullopt},
        {{"vigilorb-companion", "--relay-address"}, std::nullopt},
        {{"vigilorb-companion", "--pair", "extra"}, std::nullopt},
        {{"vigilorb-companion", "--claude-hook", "work"}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argv.size());
        EXPECT_EQ(controlRequest(static_cast<int>(c.argv.size()), c.argv.data()), c.expected);
    }
}
