#include "runtime/provider_runtime_controller.hpp"

namespace vigilorb {

// The sides of the runtime in the app, in start-up order. Each side adds its factory here.
std::vector<ProviderRuntimeSideFactory> defaultRuntimeSides() {
    std::vector<ProviderRuntimeSideFactory> sides;
    return sides;
}

}  // namespace vigilorb
