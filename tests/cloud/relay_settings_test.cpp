#include <gtest/gtest.h>

#include "cloud/relay_settings.hpp"

using namespace vigilorb;
using namespace vigilorb::cloud;

TEST(RelaySettings, TheAddressInForce) {
    struct Case {
        std::optional<std::string> stored;
        std::string builtInDefault;
        std::expected<std::string, NoRelay> expected;
    };
    const std::vector<Case> cases = {
        {"  https://relay.example/base \n", "", "https://relay.example/base"},
        {"HTTPS://Relay.Example", "", "HTTPS://Relay.Example"},
        {"https://relay.example:8443", "", "https://relay.example:8443"},
        {std::nullopt, "https://default.example", "https://default.example"},
        {"", "https://default.example", std::unexpected(NoRelay::turnedOff)},
        {"   ", "", std::unexpected(NoRelay::turnedOff)},
        {std::nullopt, "", std::unexpected(NoRelay::notConfigured)},
        {"http://relay.example", "", std::unexpected(NoRelay::invalidAddress)},
        {"https://relay.example/?q=1", "", std::unexpected(NoRelay::invalidAddress)},
        {"https://relay.example/#top", "", std::unexpected(NoRelay::invalidAddress)},
        {"https://user:pw@relay.example", "", std::unexpected(NoRelay::invalidAddress)},
        {"https:///path-only", "", std::unexpected(NoRelay::invalidAddress)},
        {"relay.example", "", std::unexpected(NoRelay::invalidAddress)},
        {"https://relay example", "", std::unexpected(NoRelay::invalidAddress)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored.value_or("<none>") + " / " + c.builtInDefault);
        MemoryPreferences preferences;
        if (c.stored) preferences.setString(relayAddressKey, *c.stored);
        EXPECT_EQ(relayBaseURL(preferences, c.builtInDefault), c.expected);
    }
}

TEST(RelaySettings, SavedAddressesAreTrimmed) {
    MemoryPreferences preferences;
    saveRelayAddress(preferences, "\t https://relay.example/base  \n");
    EXPECT_EQ(preferences.string(relayAddressKey), "https://relay.example/base");
    EXPECT_EQ(relayBaseURLString(preferences, "https://default.example"), "https://relay.example/base");
    saveRelayAddress(preferences, "  ");
    EXPECT_EQ(relayBaseURLString(preferences, "https://default.example"), "");
}

TEST(RelaySettings, UploadURL) {
    struct Case {
        std::string base, channel, companion, expected;
    };
    const std::string channel(64, 'a');
    const std::string id = "mac-0f8fad5b-d9cb-469f-a165-70867728950e";
    const std::vector<Case> cases = {
        {"https://relay.example/base", channel, id, "https://relay.example/base/v1/channels/" + channel + "/sources/" + id},
        {"https://relay.example/base/", channel, id, "https://relay.example/base/v1/channels/" + channel + "/sources/" + id},
        {"https://relay.example", channel, id, "https://relay.example/v1/channels/" + channel + "/sources/" + id},
        {"https://relay.example:8443/a/b", "c", "d", "https://relay.example:8443/a/b/v1/channels/c/sources/d"},
        // A stored identity is not checked for its form; it must stay one path segment.
        {"https://relay.example", "c", "a/b?c#d e", "https://relay.example/v1/channels/c/sources/a%2Fb%3Fc%23d%20e"},
        {"https://relay.example", "c", "..", "https://relay.example/v1/channels/c/sources/%2E%2E"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.base + " " + c.companion);
        EXPECT_EQ(relayUploadURL(c.base, c.channel, c.companion), c.expected);
    }
}

TEST(RelaySettings, StoredSequence) {
    const std::string id = "mac-1";
    struct Case {
        std::optional<long long> stored;
        std::uint64_t expected;
    };
    for (auto c : {Case{std::nullopt, 0}, Case{0, 0}, Case{41, 41}, Case{-1, 0}, Case{-9000000000LL, 0}}) {
        SCOPED_TRACE(c.stored.value_or(-424242));
        MemoryPreferences preferences;
        if (c.stored) preferences.setInteger("relay.sequence.v1." + id, *c.stored);
        EXPECT_EQ(storedSequence(preferences, id), c.expected);
    }
    MemoryPreferences preferences;
    storeSequence(preferences, id, 12);
    EXPECT_EQ(preferences.integer("relay.sequence.v1.mac-1"), 12);
    EXPECT_EQ(storedSequence(preferences, "mac-2"), 0u);  // per companion ID
}
