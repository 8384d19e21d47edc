#pragma once
// The one thing the launcher and the app library share.
//
// Rule: only argc/argv cross into the app library. The launcher (this folder) links no Qt and
// hands the process over through this C entry point and nothing else: no C++ object, exception
// or allocation crosses, because the launcher carries its own static C++ runtime while the
// library uses the shared one. The build holds the first half (vigilorb-companion cannot link
// Qt); this declaration holds the second (both sides compile against it).

extern "C" {
// Runs the app role until it quits; the return value is the process exit status.
__attribute__((visibility("default"))) int vigilorb_app_main(int argc, char** argv);
}

namespace vigilorb::launcher {
inline constexpr const char* appEntrySymbol = "vigilorb_app_main";
using AppMain = int (*)(int, char**);
}  // namespace vigilorb::launcher
