#pragma once
// Launch at login through an XDG autostart entry, and the reconcile rules that keep that entry
// pointing at the installation that actually runs.
//
// The entry is <config home>/autostart/<application ID>.desktop. It counts as enabled when the
// file exists, is not hidden or switched off by the desktop's session settings, and its Exec
// starts the running executable. Only a copy that runs from the install prefix the build was
// configured with renews the entry by itself at start-up; copies run from build folders leave
// it alone.
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/paths.hpp"
#include "model/preferences.hpp"

namespace vigilorb::desktop {

inline constexpr std::string_view launchAtLoginPathKey = "companion.launchAtLoginBundlePath.v1";
inline constexpr std::string_view launchAtLoginUpdateFailedText = "Could not update the launch-at-login setting";
inline constexpr std::string_view launchAtLoginOutdatedText = "Launch at login still points to an older installation";

// The login-item states. Only `enabled` counts as on; `requiresApproval` stands for an entry the
// user switched off in the desktop's own settings, which start-up must not override.
enum class LoginItemStatus { notRegistered, enabled, requiresApproval, notFound };

enum class AutostartError { folderCreationFailed, writeFailed, removeFailed };

// <config home>/autostart/<application ID>.desktop; absent without a config home.
std::optional<std::filesystem::path> autostartFile(const paths::Environment& env);

// One argument quoted for an Exec key (desktop entry rules: reserved characters inside double
// quotes, '"', '`', '$' and '\' escaped, '%' doubled; then string-value escaping of '\').
std::string quotedExecArgument(std::string_view argument);

// The entry that starts `executable --hidden` at login.
std::string autostartEntryText(const std::filesystem::path& executable);

// The Exec key's arguments, unquoted; empty when the entry has no usable Exec.
std::vector<std::string> execArguments(std::string_view entryText);

// What an entry's text says about the running executable.
LoginItemStatus entryStatus(std::string_view entryText, const std::filesystem::path& executable);

// Whether `executable` lies inside `installPrefix` (whole path components, both normalised).
bool runsFromInstallPrefix(const std::filesystem::path& executable, const std::filesystem::path& installPrefix);

// The platform service the rules below drive.
class LoginItemService {
public:
    virtual ~LoginItemService() = default;
    virtual LoginItemStatus status() = 0;
    [[nodiscard]] virtual std::expected<void, AutostartError> registerItem() = 0;
    [[nodiscard]] virtual std::expected<void, AutostartError> unregisterItem() = 0;
};

// The autostart file for one executable. Written by atomic replace; unregistering removes it.
class XdgAutostartService final : public LoginItemService {
public:
    XdgAutostartService(std::filesystem::path file, std::filesystem::path executable)
        : file_(std::move(file)), executable_(std::move(executable)) {}
    LoginItemStatus status() override;
    std::expected<void, AutostartError> registerItem() override;
    std::expected<void, AutostartError> unregisterItem() override;
    const std::filesystem::path& file() const { return file_; }

private:
    std::filesystem::path file_;
    std::filesystem::path executable_;
};

struct LaunchAtLoginState {
    bool launchesAtLogin = false;
    // A text for the transport status line, when something failed.
    std::optional<std::string_view> statusText;
};

// The toggle: register or unregister, then mirror the real status. Turning it on stores the
// running path; turning it off leaves the stored path as it was.
LaunchAtLoginState setLaunchAtLogin(LoginItemService& service, Preferences& preferences, bool enabled,
                                    const std::filesystem::path& runningPath);

// Once per start. `installPrefix` absent or not containing the running path: only read the
// status. Otherwise a stored path other than the running one renews the registration.
LaunchAtLoginState reconcileLaunchAtLogin(LoginItemService& service, Preferences& preferences,
                                          const std::filesystem::path& runningPath,
                                          const std::optional<std::filesystem::path>& installPrefix);

}  // namespace vigilorb::desktop
