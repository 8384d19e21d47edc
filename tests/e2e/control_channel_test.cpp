// `vigilorb-companion --pair` and `--relay-address` against the real app role, headless.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "child_process.hpp"
#include "model/files.hpp"
#include "security/codec.hpp"
#include "security/pairing.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::test;
namespace fs = std::filesystem;

namespace {

// Connects to the socket and sends `request`; the answer up to end of file (empty if closed).
std::string askRaw(const fs::path& socket, const std::string& request) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return "<no connection>";
    }
    if (!request.empty()) [[maybe_unused]] auto n = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 30000) <= 0) {
            answer += "<no end>";
            break;
        }
        auto n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer;
}

struct ControlChannel : ::testing::Test {
    TempDir dir;
    fs::path exe = binDir() / "vigilorb-companion";
    fs::path runtimeDir = dir / "run";
    fs::path folder = runtimeDir / "VigilorbCompanion";
    fs::path socket = folder / "control.sock";
    fs::path keyFolder = dir / "data" / "VigilorbCompanion" / "PairingKeys";
    std::unique_ptr<ChildProcess> app;

    std::map<std::string, std::string> env() { return isolatedCompanionEnvironment(dir.path()); }
    void startApp() {
        app = std::make_unique<ChildProcess>(std::vector<std::string>{exe.string()}, env());
        ASSERT_TRUE(eventually([&] { return fs::exists(socket) || !app->running(); }));
        ASSERT_TRUE(app->running()) << app->err();
    }
    Finished command(std::vector<std::string> args) {
        args.insert(args.begin(), exe.string());
        return run(args, env());
    }
    std::optional<std::string> storedKeyHex() {
        std::error_code ec;
        for (fs::recursive_directory_iterator it(keyFolder, ec), end; !ec && it != end; it.increment(ec)) {
            if (!it->is_regular_file()) continue;
            auto bytes = files::read(it->path()).value();
            return security::crypto::hexLowercase(Bytes(bytes.begin(), bytes.end()));
        }
        return std::nullopt;
    }
    // Every file under the test folder (the app's data, settings and socket folder) holding `text`.
    std::vector<fs::path> filesContaining(const std::string& text) {
        std::vector<fs::path> found;
        for (auto& entry : fs::recursive_directory_iterator(dir.path()))
            if (entry.is_regular_file() && files::read(entry.path()).value().find(text) != std::string::npos)
                found.push_back(entry.path());
        return found;
    }
};

}  // namespace

TEST_F(ControlChannel, WithoutARunningAppTheCommandsSaySoAndFail) {
    for (std::vector<std::string> args : {std::vector<std::string>{"--pair"}, {"--relay-address", "https://r.example"}}) {
        auto result = command(args);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "Tallyloom Companion is not running for this user.\n");
    }
    EXPECT_FALSE(fs::exists(dir / "data"));  // nothing was started
}

TEST_F(ControlChannel, PairPrintsAnInvitationThePeerAcceptsAndActivatesItsKey) {
    startApp();
    auto first = command({"--pair"});
    ASSERT_EQ(first.status, 0) << first.err;
    ASSERT_TRUE(first.out.ends_with("}\n"));
    auto peer = run({(binDir() / "vigilorb-peer").string(), "invitation"}, baseEnvironment(), first.out);
    ASSERT_EQ(peer.status, 0) << peer.err;
    auto invitation = security::PairingInvitation::decode(first.out).value();
    EXPECT_EQ(first.err, "Verification code: " + invitation.verificationCode() + "\n");
    EXPECT_NE(peer.out.find(invitation.verificationCode()), std::string::npos);
    // The phone's key is the one now stored (and activated) by the app.
    auto key = security::LocalPairingKey::deriveFromInvitation(invitation, Date::now()).value();
    EXPECT_EQ(storedKeyHex(), security::crypto::hexLowercase(key.bytes()));
    // The secret went only to standard output.
    EXPECT_TRUE(filesContaining(security::crypto::base64Encode(invitation.secret)).empty());

    // Pairing again replaces the key: phones holding the first can no longer connect.
    auto second = command({"--pair"});
    ASSERT_EQ(second.status, 0) << second.err;
    auto next = security::PairingInvitation::decode(second.out).value();
    EXPECT_NE(next.secret, invitation.secret);
    EXPECT_EQ(storedKeyHex(), security::crypto::hexLowercase(security::LocalPairingKey::deriveFromInvitation(next, Date::now()).value().bytes()));
}

TEST_F(ControlChannel, RelayAddressIsStoredTrimmedAndRefusedWhenUnusable) {
    startApp();
    auto saved = command({"--relay-address", "  https://127.0.0.1:9/base \n"});
    EXPECT_EQ(saved.status, 0) << saved.err;
    EXPECT_EQ(saved.out, "Cloud sync address saved: https://127.0.0.1:9/base\n");
    auto settings = files::read(dir / "config" / "VigilorbCompanion" / "VigilorbCompanion.conf").value();
    EXPECT_NE(settings.find("relay.baseURL.v1=https://127.0.0.1:9/base\n"), std::string::npos) << settings;
    // The invitation now names the relay.
    auto paired = command({"--pair"});
    ASSERT_EQ(paired.status, 0);
    EXPECT_EQ(security::PairingInvitation::decode(paired.out).value().relayBaseURL, "https://127.0.0.1:9/base");

    auto refused = command({"--relay-address", "http://127.0.0.1:9/base"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("cloud sync is off"), std::string::npos) << refused.err;
    auto cleared = command({"--relay-address", ""});
    EXPECT_EQ(cleared.status, 0);
    EXPECT_EQ(cleared.out, "Cloud sync address cleared; cloud sync is off.\n");
    EXPECT_FALSE(security::PairingInvitation::decode(command({"--pair"}).out).value().relayBaseURL);
}

TEST_F(ControlChannel, TheSocketIsPrivateAndBadRequestsAreRefused) {
    startApp();
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(socket.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    EXPECT_EQ(askRaw(socket, std::string(5000, 'a')), "error The request is too large.\n");
    EXPECT_EQ(askRaw(socket, "unlock-everything\n"), "error Unknown request: unlock-everything\n");
    EXPECT_EQ(askRaw(socket, "pair\tnow\n"), "error The request is not understood.\n");
    // Silence is not waited for forever.
    EXPECT_EQ(askRaw(socket, ""), "");
    EXPECT_FALSE(storedKeyHex());
}

TEST_F(ControlChannel, AnotherUserIsNotAnsweredEvenWhenTheFolderIsOpenedUp) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    startApp();
    for (const auto& path : {dir.path(), runtimeDir, folder})
        fs::permissions(path, fs::perms::others_exec, fs::perm_options::add);
    fs::permissions(socket, fs::perms::all);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        auto answer = askRaw(socket, "pair\n");
        [[maybe_unused]] auto n = ::write(pipeFds[1], answer.data(), answer.size());
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string answer;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(answer, "");  // connected, and closed without a word
    EXPECT_FALSE(storedKeyHex());
}
