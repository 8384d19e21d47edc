#pragma once
// Who the companion is to the desktop: one application ID for the desktop entry, the icon, the
// autostart file and the D-Bus name, and the version the build was configured with.
#include <string_view>

namespace vigilorb::desktop {

inline constexpr std::string_view applicationID = "com.tarnbrook.VigilorbCompanion";
inline constexpr std::string_view displayName = "Tallyloom Companion";
// Shown when the build sets no version.
inline constexpr std::string_view fallbackVersion = "1.2.1";

constexpr std::string_view versionText(std::string_view configured) {
    return configured.empty() ? fallbackVersion : configured;
}

}  // namespace vigilorb::desktop
