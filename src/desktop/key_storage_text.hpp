#pragma once
// Where the pairing keys live, in the words the window uses. The companion decides once at
// start-up: the Secret Service when the session has one, else files only the user can read. A
// user on a desktop without a keyring should be able to see that the second case applies.
#include <string>
#include <string_view>

namespace vigilorb::desktop {

// `kind` is the key store backend's kind(): "Secret Service", "file", or "memory" (tests).
inline std::string keyStorageText(std::string_view kind) {
    if (kind == "Secret Service") return "Pairing keys are kept in the Secret Service";
    if (kind == "file") return "No Secret Service found: pairing keys are kept in files only you can read";
    if (kind == "memory") return "Pairing keys are kept in memory only";
    return "Pairing keys are kept in " + std::string(kind);
}

}  // namespace vigilorb::desktop
