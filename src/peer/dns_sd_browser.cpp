#include "peer/dns_sd_browser.hpp"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/timeval.h>
#include <net/if.h>

#include <memory>
#include <optional>
#include <vector>

#include "link/link_contract.hpp"

namespace vigilorb::phone {

std::string_view rawValue(BrowseError e) {
    switch (e) {
        case BrowseError::discoveryUnavailable: return "discoveryUnavailable";
        case BrowseError::companionNotFound: return "companionNotFound";
    }
    return "unknown";
}

namespace {

struct Search {
    std::string companionID;
    AvahiSimplePoll* poll = nullptr;
    std::optional<Endpoint> found;
    bool failed = false;
};

std::vector<std::string> entries(AvahiStringList* txt) {
    std::vector<std::string> out;
    for (auto* item = txt; item; item = avahi_string_list_get_next(item))
        out.emplace_back(reinterpret_cast<const char*>(avahi_string_list_get_text(item)),
                         avahi_string_list_get_size(item));
    return out;
}

void onResolved(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol, AvahiResolverEvent event,
                const char*, const char*, const char*, const char*, const AvahiAddress* address, uint16_t port,
                AvahiStringList* txt, AvahiLookupResultFlags, void* data) {
    auto* search = static_cast<Search*>(data);
    if (event == AVAHI_RESOLVER_FOUND && !search->found && link::companionFromTxt(entries(txt)) == search->companionID) {
        char text[AVAHI_ADDRESS_STR_MAX];
        avahi_address_snprint(text, sizeof text, address);
        std::string host = text;
        // An IPv6 link-local address only means something together with its interface.
        if (address->proto == AVAHI_PROTO_INET6 && host.starts_with("fe80:")) {
            char name[IF_NAMESIZE];
            if (if_indextoname(static_cast<unsigned>(interface), name)) host += std::string("%") + name;
        }
        search->found = Endpoint{host, port};
        avahi_simple_poll_quit(search->poll);
    }
    avahi_service_resolver_free(resolver);
}

void onBrowse(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
              const char* name, const char* type, const char* domain, AvahiLookupResultFlags, void* data) {
    auto* search = static_cast<Search*>(data);
    if (event == AVAHI_BROWSER_FAILURE) {
        search->failed = true;
        avahi_simple_poll_quit(search->poll);
    } else if (event == AVAHI_BROWSER_NEW) {
        avahi_service_resolver_new(avahi_service_browser_get_client(browser), interface, protocol, name, type, domain,
                                   AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), onResolved, search);
    }
}

}  // namespace

std::expected<Endpoint, BrowseError> findCompanion(const std::string& companionID, std::chrono::milliseconds timeout) {
    Search search;
    search.companionID = companionID;
    std::unique_ptr<AvahiSimplePoll, decltype(&avahi_simple_poll_free)> poll(avahi_simple_poll_new(),
                                                                             avahi_simple_poll_free);
    if (!poll) return std::unexpected(BrowseError::discoveryUnavailable);
    search.poll = poll.get();
    int error = 0;
    std::unique_ptr<AvahiClient, decltype(&avahi_client_free)> client(
        avahi_client_new(avahi_simple_poll_get(poll.get()), AvahiClientFlags(0),
                         [](AvahiClient*, AvahiClientState state, void* data) {
                             auto* s = static_cast<Search*>(data);
                             if (state == AVAHI_CLIENT_FAILURE) {
                                 s->failed = true;
                                 avahi_simple_poll_quit(s->poll);
                             }
                         },
                         &search, &error),
        avahi_client_free);
    if (!client) return std::unexpected(BrowseError::discoveryUnavailable);
    auto* browser = avahi_service_browser_new(client.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, link::serviceType,
                                              nullptr, AvahiLookupFlags(0), onBrowse, &search);
    if (!browser) return std::unexpected(BrowseError::discoveryUnavailable);
    timeval deadline;
    avahi_elapse_time(&deadline, static_cast<unsigned>(timeout.count()), 0);
    const AvahiPoll* api = avahi_simple_poll_get(poll.get());
    api->timeout_new(
        api, &deadline, [](AvahiTimeout*, void* data) { avahi_simple_poll_quit(static_cast<Search*>(data)->poll); },
        &search);
    avahi_simple_poll_loop(poll.get());
    // Freeing the client frees the browser and resolvers; the poll (freed last) the timeout.
    if (search.found) return *search.found;
    if (search.failed) return std::unexpected(BrowseError::discoveryUnavailable);
    return std::unexpected(BrowseError::companionNotFound);
}

}  // namespace vigilorb::phone
