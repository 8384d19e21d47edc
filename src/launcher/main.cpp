// Process entry. The role is decided before anything else exists: Claude Code runs this
// executable as its status-line command and as hook commands, on every refresh and every hook,
// so those runs use only the core linked in here. The app role lives in libvigilorb_app.so and
// is loaded only when the process starts as the app, which keeps Qt out of the command-line
// runs entirely.
#include <dlfcn.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "desktop/app_identity.hpp"
#include "launcher/app_library.hpp"
#include "model/paths.hpp"
#include "cli/command_line.hpp"
#include "cli/control_channel.hpp"
#include "cli/process.hpp"

namespace {

using vigilorb::launcher::AppMain;

int say(const std::string& line, int status) {
    std::fprintf(stderr, "%s\n", line.c_str());
    return status;
}

int fail(const std::string& line) { return say(line, 1); }

#ifndef VIGILORB_VERSION
#define VIGILORB_VERSION ""
#endif

constexpr const char* usage =
    "Usage: vigilorb-companion [--headless] [--hidden]\n"
    "       vigilorb-companion --claude-statusline ACCOUNT\n"
    "       vigilorb-companion --claude-hook ACCOUNT\n"
    "       vigilorb-companion --pair | --relay-address TEXT\n"
    "\n"
    "Watches the coding agents on this computer (Codex CLI, Claude Code, Claude Desktop) and keeps a\n"
    "read-only picture of their quota windows, tasks and pending approvals, shown in its window and\n"
    "shared with a paired phone. It never approves, executes or answers anything.\n"
    "\n"
    "  --headless      run without a window (also the default when there is no display)\n"
    "  --hidden        start with the window hidden in the tray (as launch at login does)\n"
    "  --claude-statusline ACCOUNT, --claude-hook ACCOUNT\n"
    "                  the commands Claude Code runs for an isolated connector; they read\n"
    "                  Claude Code's JSON on standard input\n"
    "  --pair          ask the running companion for a one-time pairing invitation\n"
    "  --relay-address TEXT\n"
    "                  set the running companion's cloud sync address (empty turns it off)\n"
    "  --help          show this text\n"
    "  --version       show the version\n";

// --help and --version answer without loading the app (and without taking the instance lock).
std::optional<int> informationRequest(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%.*s %s\n", static_cast<int>(vigilorb::desktop::displayName.size()),
                        vigilorb::desktop::displayName.data(), vigilorb::desktop::versionText(VIGILORB_VERSION).data());
            return 0;
        }
    }
    return std::nullopt;
}

// Where the installed tree keeps the app library, relative to the executable's folder (set by
// the build from the install layout, e.g. "../lib/x86_64-linux-gnu/vigilorb-companion").
#ifndef VIGILORB_APP_LIBRARY_DIR
#define VIGILORB_APP_LIBRARY_DIR ""
#endif

constexpr const char* appLibraryName = "libvigilorb_app.so";

// The app library is looked up from the executable's own location only, never from a fixed
// prefix or the loader's search path: an installed tree, a tree moved to another prefix and a
// build folder (library beside the executable) then each run their own copy.
std::optional<std::filesystem::path> findAppLibrary(const std::filesystem::path& folder, std::string& looked) {
    std::vector<std::filesystem::path> candidates;
    if (*VIGILORB_APP_LIBRARY_DIR) candidates.push_back((folder / VIGILORB_APP_LIBRARY_DIR / appLibraryName).lexically_normal());
    candidates.push_back(folder / appLibraryName);
    for (const auto& candidate : candidates) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
        looked += (looked.empty() ? "" : ", ") + candidate.string();
    }
    return std::nullopt;
}

int startApp(int argc, char** argv) {
    using namespace vigilorb;
    // SIGINT and SIGTERM wait (blocked, pending) until the app has its handlers, so a stop
    // request during start-up still ends in a clean exit rather than a kill.
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGINT);
    sigaddset(&termination, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &termination, nullptr);
    // One app per user: the lock sits beside the snapshot that the app would write.
    auto lock = cli::InstanceLock::acquire(paths::snapshotFile().parent_path() / "companion.lock");
    if (!lock && lock.error() == cli::InstanceLockError::alreadyRunning) {
        // Not a failure: the companion the user asked for is running. Its window comes
        // forward (one without a window, or one that does not answer, changes nothing).
        [[maybe_unused]] auto shown = cli::send(cli::socketFolder(paths::processEnvironment(), ::geteuid()),
                                                cli::Request{"show", ""}, std::chrono::seconds(2));
        return say("Tallyloom Companion is already running for this user.", 0);
    }
    // Without a lock file (unavailable) the data folder cannot be written either; the app
    // starts and its status rows say what fails.
    // One malloc arena for all threads, set before any thread starts: the capture thread
    // builds large results that the main thread takes over and frees, and with an arena per
    // thread each kept its own high-water mark (about 16 MiB of the peak at ten times the
    // usual data). The app's threads are few and mostly idle, so sharing costs nothing.
    ::mallopt(M_ARENA_MAX, 1);
    auto exe = cli::currentExecutable();
    if (!exe) return fail("Tallyloom Companion cannot locate its own executable.");
    std::string looked;
    auto library = findAppLibrary(exe->parent_path(), looked);
    if (!library)
        return fail("Tallyloom Companion cannot find its app library (looked for " +
                    looked + ").");
    void* handle = ::dlopen(library->c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return fail(std::string("Tallyloom Companion cannot load its app library: ") + ::dlerror());
    auto appMain = reinterpret_cast<AppMain>(::dlsym(handle, vigilorb::launcher::appEntrySymbol));
    if (!appMain) return fail("Tallyloom Companion's app library has no entry point.");
    // The library stays loaded until exit: Qt registers exit handlers that point into it.
    return appMain(argc, argv);
}

}  // namespace

int main(int argc, char** argv) {
    if (auto request = vigilorb::cli::commandLineRequest(argc, argv)) return vigilorb::cli::runCommandLineProcess(*request);
    // Requests to the running app; they never start one.
    if (auto request = vigilorb::cli::controlRequest(argc, argv)) return vigilorb::cli::runControlCommand(*request);
    if (auto status = informationRequest(argc, argv)) return *status;
    return startApp(argc, argv);
}
