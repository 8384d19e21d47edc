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

struct CommandLineResult {
    std::string output;  // what goes to standard output
    int exitStatus = 0;
};

// Parses the input with the parser of the mode and drops its events into the inbox as one file. Malformed
// input gives no events (the status line is still printed); exit status 1 only when the inbox
// cannot be created or a file cannot be written.
CommandLineResult runCommandLine(const CommandLineRequest& request, std::string_view input,
                                 const paths::Environment& env, const std::function<Date()>& now = &Date::now);

// The whole command-line run on the process's own standard input and output.
int runCommandLineProcess(const CommandLineRequest& request);

}  // namespace vigilorb::cli
