#pragma once
#include <chrono>
#include <expected>
#include <string>

#include "peer/local_link_client.hpp"

namespace vigilorb::phone {

enum class BrowseError {
    discoveryUnavailable,  // no Avahi daemon or no system bus
    companionNotFound,     // no service with this companion ID within the time allowed
};

std::string_view rawValue(BrowseError e);

// Browses the local link's DNS-SD service type through the Avahi daemon and resolves each
// instance until one advertises `companionID` in its TXT record; returns its address and port.
std::expected<Endpoint, BrowseError> findCompanion(const std::string& companionID, std::chrono::milliseconds timeout);

}  // namespace vigilorb::phone
