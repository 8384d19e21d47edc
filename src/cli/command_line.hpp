#pragma once
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "model/date.hpp"
#include "model/paths.hpp"

namespace vigilorb::cli {

// The two roles of the one executable. Claude Code runs it as its status-line command and as a
// hook command, on every refresh and every hook, so this path uses only the core: no Qt object
// is built and the Qt libraries are not even loaded.

enum class CommandLineMode { statusLine, hook };

struct CommandLineRequest {
    CommandLineMode mode{};
    std::string accountID;
};

inline constexpr std::string_view statusLineText = "Tallyloom · local only\n";

// Exactly `<exe> --claude-statusline|--claude-hook <account>` with a valid account ID; anything
// else (another count, another mode, a refused ID) means the process starts as the app.
std::optional<CommandLineRequest> commandLineRequest(int argc, const char* const* argv);

// The most of standard input a run reads. The events that matter (a permission request, a
// stop, a new session or to-do item) come in documents of a few KiB: a permission request
// carries the tool's input, which the model wrote, so it is at most its output limit of a few
// hundred KiB. Only a PostToolUse can be larger (an edit's response holds the whole edited
// file), and its event merely repeats "running". 4 MiB keeps every such document with room to
// spare while a writer that never stops (a pipe from /dev/zero) costs a few milliseconds and a
// few MiB instead of all the memory it can get.
inline constexpr std::size_t maxInputBytes = 4u << 20;

struct CommandLineResult {
    std::string output;  // what goes to standard output
    int exitStatus = 0;
};

// Parses the input with the parser of the mode and drops its events into the inbox as one file.
// Malformed input gives no events (the status line is still printed). Exit status 1 when the
// inbox cannot be created or a file cannot be written, and in hook mode when the event is
// refused for its size (input beyond maxInputBytes, an identifier beyond maxIdentifierBytes, a
// file beyond maxEventFileBytes): the drain would only delete such a file unread, and the exit
// status is the one place Claude Code shows that a hook failed. The status line treats input
// beyond maxInputBytes as any other input it cannot read: its line is printed, exit status 0.
CommandLineResult runCommandLine(const CommandLineRequest& request, std::string_view input,
                                 const paths::Environment& env, const std::function<Date()>& now = &Date::now);

// The whole command-line run on the process's own standard input and output.
int runCommandLineProcess(const CommandLineRequest& request);

}  // namespace vigilorb::cli
