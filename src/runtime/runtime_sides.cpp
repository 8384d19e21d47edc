#include "runtime/claude_code_runtime_side.hpp"
#include "runtime/claude_desktop_runtime_side.hpp"
#include "runtime/codex_runtime_side.hpp"
#include "runtime/provider_runtime_controller.hpp"

namespace vigilorb::runtime {

// The sides of the runtime in the app, in start-up order. Each side adds its factory here.
std::vector<ProviderRuntimeSideFactory> standingRuntimeSides() {
    std::vector<ProviderRuntimeSideFactory> sides;
    sides.push_back([](ProviderRuntimeController& c) { return std::make_unique<ClaudeCodeRuntimeSide>(c); });
    return sides;
}

std::vector<ProviderRuntimeSideFactory> defaultRuntimeSides() {
    std::vector<ProviderRuntimeSideFactory> sides;
    sides.push_back([](ProviderRuntimeController& c) { return std::make_unique<CodexRuntimeSide>(c); });
    sides.push_back([](ProviderRuntimeController& c) { return std::make_unique<ClaudeDesktopRuntimeSide>(c); });
    return sides;
}

}  // namespace vigilorb::runtime
