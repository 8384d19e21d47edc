#pragma once
#include <cstdint>
#include <vector>

namespace vigilorb {

// Raw bytes: keys, digests, nonces, sealed boxes and the frames that carry them.
using Bytes = std::vector<std::uint8_t>;

}  // namespace vigilorb
