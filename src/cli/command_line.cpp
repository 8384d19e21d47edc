#include "cli/command_line.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "claude/claude_hook_parser.hpp"
#include "claude/claude_statusline_parser.hpp"
#include "model/events.hpp"
#include "cli/claude_inbox.hpp"

namespace vigilorb::cli {

std::optional<CommandLineRequest> commandLineRequest(int argc, const char* const* argv) {
    if (argc != 3) return std::nullopt;
    CommandLineRequest request;
    if (std::strcmp(argv[1], "--claude-statusline") == 0)
        request.mode = CommandLineMode::statusLine;
    else if (std::strcmp(argv[1], "--claude-hook") == 0)
        request.mode = CommandLineMode::hook;
    else
        return std::nullopt;
    auto profile = AccountProfile::make(argv[2], AIProvider::claude, argv[2]);
    if (!profile) return std::nullopt;
    request.accountID = profile->accountID;
    return request;
}

CommandLineResult runCommandLine(const CommandLineRequest& request, std::string_view input,
                                 const paths::Environment& env, const std::function<Date()>& now) {
    CommandLineResult result;
    std::vector<NormalizedProviderEvent> events;
    // One reading of the clock: the observation time and the recorded time are the same, so the
    // drain orders this run's file by the moment the hook saw the event.
    const Date at = now();
    // Claude Code's input changes between versions; a document we cannot read is no event. One
    // we can read but not keep (too large) is an event lost, which the hook reports.
    bool refused = input.size() > maxInputBytes;
    if (refused) {
        // Not parsed at all: the end of the document was never read.
    } else if (request.mode == CommandLineMode::statusLine) {
        if (auto quota = claude::ClaudeStatusLineParser::parse(input, request.accountID, at); quota && *quota)
            events.push_back(NormalizedProviderEvent::quota(std::move(**quota)));
    } else if (auto parsed = claude::ClaudeHookParser::parse(input, request.accountID, at)) {
        events = std::move(*parsed);
    } else {
        refused = parsed.error() == ProviderMessageParsingError::tooLarge;
    }
    if (request.mode == CommandLineMode::statusLine) result.output = statusLineText;
    auto inbox = cli::prepareInbox(paths::profilesRoot(env), request.accountID);
    if (!inbox || !cli::writeEvents(*inbox, events, at)) result.exitStatus = 1;
    if (refused && request.mode == CommandLineMode::hook) result.exitStatus = 1;
    return result;
}

namespace {

// Up to the end of the input, or one byte past `limit`, whichever comes first: the caller
// tells an input that is too large by its size, without the rest ever being read.
std::string readUpTo(int fd, std::size_t limit) {
    std::string bytes;
    char buffer[65536];
    while (bytes.size() <= limit) {
        auto n = ::read(fd, buffer, std::min(sizeof buffer, limit + 1 - bytes.size()));
        if (n < 0) {
            if (errno == EINTR) continue;
            break;  // what arrived so far is the input; the parser decides whether it is whole
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        auto n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

int runCommandLineProcess(const CommandLineRequest& request) {
    // Claude Code may close our output before we are done (it cancels a slow status-line run):
    // the events must still reach the inbox rather than the process dying of SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    auto input = readUpTo(STDIN_FILENO, maxInputBytes);
    auto result = runCommandLine(request, input, paths::processEnvironment());
    writeAll(STDOUT_FILENO, result.output);
    return result.exitStatus;
}

}  // namespace vigilorb::cli
