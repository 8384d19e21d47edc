#include "desktop/autostart.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "desktop/app_identity.hpp"
#include "model/error.hpp"
#include "model/files.hpp"

namespace vigilorb::desktop {

namespace fs = std::filesystem;

namespace {

// An autostart entry is a few hundred bytes; anything much larger is not ours to parse.
constexpr std::size_t maxEntryBytes = 64 * 1024;

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// The value of `key` in the [Desktop Entry] group, string escapes undone.
std::optional<std::string> entryValue(std::string_view text, std::string_view key) {
    bool inMainGroup = false;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        auto line = trimmed(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup) continue;
        auto equals = line.find('=');
        if (equals == std::string_view::npos || trimmed(line.substr(0, equals)) != key) continue;
        auto raw = trimmed(line.substr(equals + 1));
        std::string value;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '\\' || i + 1 == raw.size()) {
                value += raw[i];
                continue;
            }
            switch (raw[++i]) {
                case 's': value += ' '; break;
                case 'n': value += '\n'; break;
                case 't': value += '\t'; break;
                case 'r': value += '\r'; break;
                case '\\': value += '\\'; break;
                default: value += '\\', value += raw[i];
            }
        }
        return value;
    }
    return std::nullopt;
}

bool isTrue(const std::optional<std::string>& v) { return v && *v == "true"; }
bool isFalse(const std::optional<std::string>& v) { return v && *v == "false"; }

}  // namespace

std::optional<fs::path> autostartFile(const paths::Environment& env) {
    auto config = paths::configHome(env);
    if (!config) return std::nullopt;
    return *config / "autostart" / (std::string(applicationID) + ".desktop");
}

std::string quotedExecArgument(std::string_view argument) {
    constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    bool quote = argument.empty() || argument.find_first_of(reserved) != std::string_view::npos;
    std::string exec;
    if (quote) exec += '"';
    for (char c : argument) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) exec += '\\';
        if (c == '%') exec += '%';
        exec += c;
    }
    if (quote) exec += '"';
    // String-value escaping of the whole key.
    std::string value;
    for (char c : exec) {
        if (c == '\\') value += "\\\\";
        else if (c == '\n') value += "\\n";
        else if (c == '\t') value += "\\t";
        else if (c == '\r') value += "\\r";
        else value += c;
    }
    return value;
}

std::string autostartEntryText(const fs::path& executable) {
    std::string text = "[Desktop Entry]\n";
    text += "Type=Application\n";
    text += "Name=" + std::string(displayName) + "\n";
    text += "Comment=Read-only quota and task state of local coding agents\n";
    text += "Exec=" + quotedExecArgument(executable.string()) + " --hidden\n";
    text += "Icon=" + std::string(applicationID) + "\n";
    text += "Terminal=false\n";
    text += "X-GNOME-Autostart-enabled=true\n";
    return text;
}

std::vector<std::string> execArguments(std::string_view entryText) {
    auto exec = entryValue(entryText, "Exec");
    std::vector<std::string> arguments;
    if (!exec) return arguments;
    std::string current;
    bool inArgument = false, quoted = false;
    const std::string& s = *exec;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else if (c == '\\' && i + 1 < s.size()) {
                current += s[++i];
            } else if (c == '%' && i + 1 < s.size() && s[i + 1] == '%') {
                current += s[++i];
            } else {
                current += c;
            }
            continue;
        }
        if (c == ' ' || c == '\t') {
            if (inArgument) arguments.push_back(std::move(current)), current.clear();
            inArgument = false;
            continue;
        }
        inArgument = true;
        if (c == '"') {
            quoted = true;
        } else if (c == '%' && i + 1 < s.size() && s[i + 1] == '%') {
            current += s[++i];
        } else {
            current += c;
        }
    }
    // An unterminated quote makes the whole line unusable.
    if (quoted) return {};
    if (inArgument) arguments.push_back(std::move(current));
    return arguments;
}

LoginItemStatus entryStatus(std::string_view entryText, const fs::path& executable) {
    if (isTrue(entryValue(entryText, "Hidden")) || isFalse(entryValue(entryText, "X-GNOME-Autostart-enabled")))
        return LoginItemStatus::requiresApproval;
    auto arguments = execArguments(entryText);
    // An entry that starts another copy (or something else) is not ours: registering replaces it.
    if (arguments.empty() || fs::path(arguments.front()).lexically_normal() != executable.lexically_normal())
        return LoginItemStatus::notRegistered;
    return LoginItemStatus::enabled;
}

bool runsFromInstallPrefix(const fs::path& executable, const fs::path& installPrefix) {
    auto exe = executable.lexically_normal();
    auto prefix = installPrefix.lexically_normal();
    if (!exe.is_absolute() || !prefix.is_absolute()) return false;
    auto e = exe.begin();
    for (auto p = prefix.begin(); p != prefix.end(); ++p) {
        if (p->empty()) continue;  // the trailing "" of "/usr/local/"
        if (e == exe.end() || *e != *p) return false;
        ++e;
    }
    return e != exe.end();
}

LoginItemStatus XdgAutostartService::status() {
    std::error_code ec;
    if (!fs::exists(file_, ec)) return LoginItemStatus::notRegistered;
    auto text = files::read(file_, maxEntryBytes);
    // Unreadable, oversized or not a regular file: nothing that starts us.
    if (!text) return LoginItemStatus::notRegistered;
    return entryStatus(*text, executable_);
}

std::expected<void, AutostartError> XdgAutostartService::registerItem() {
    if (!files::createFolders(file_.parent_path())) return std::unexpected(AutostartError::folderCreationFailed);
    if (!files::writeAtomically(file_, autostartEntryText(executable_), mode_t{0644}))
        return std::unexpected(AutostartError::writeFailed);
    return {};
}

std::expected<void, AutostartError> XdgAutostartService::unregisterItem() {
    if (::remove(file_.c_str()) != 0 && errno != ENOENT) return std::unexpected(AutostartError::removeFailed);
    return {};
}

LaunchAtLoginState setLaunchAtLogin(LoginItemService& service, Preferences& preferences, bool enabled,
                                    const fs::path& runningPath) {
    LaunchAtLoginState state;
    auto outcome = enabled ? service.registerItem() : service.unregisterItem();
    if (!outcome) state.statusText = launchAtLoginUpdateFailedText;
    state.launchesAtLogin = service.status() == LoginItemStatus::enabled;
    if (state.launchesAtLogin) preferences.setString(launchAtLoginPathKey, runningPath.lexically_normal().string());
    return state;
}

LaunchAtLoginState reconcileLaunchAtLogin(LoginItemService& service, Preferences& preferences,
                                          const fs::path& runningPath,
                                          const std::optional<fs::path>& installPrefix) {
    LaunchAtLoginState state;
    auto path = runningPath.lexically_normal();
    if (!installPrefix || !runsFromInstallPrefix(path, *installPrefix) ||
        preferences.string(launchAtLoginPathKey) == path.string()) {
        state.launchesAtLogin = service.status() == LoginItemStatus::enabled;
        return state;
    }
    bool failed = false;
    if (service.status() == LoginItemStatus::enabled && !service.unregisterItem()) failed = true;
    if (!failed && service.status() == LoginItemStatus::notRegistered && !service.registerItem()) failed = true;
    state.launchesAtLogin = service.status() == LoginItemStatus::enabled;
    if (failed) {
        state.statusText = launchAtLoginOutdatedText;
    } else if (state.launchesAtLogin) {
        preferences.setString(launchAtLoginPathKey, path.string());
    }
    return state;
}

}  // namespace vigilorb::desktop
