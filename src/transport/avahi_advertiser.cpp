#include "transport/avahi_advertiser.hpp"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

namespace vigilorb::transport {

AvahiAdvertiser::AvahiAdvertiser(QObject* parent) : QObject(parent) {}

AvahiAdvertiser::~AvahiAdvertiser() {
    // Stopping joins Avahi's thread, so no callback runs while the objects are freed.
    if (poll_) avahi_threaded_poll_stop(poll_);
    if (client_) avahi_client_free(client_);  // frees the entry group and withdraws it
    if (poll_) avahi_threaded_poll_free(poll_);
}

QString AvahiAdvertiser::publishedName() const {
    std::lock_guard lock(mutex_);
    return QString::fromStdString(publishedName_);
}

void AvahiAdvertiser::fail() {
    {
        std::lock_guard lock(mutex_);
        if (failedOnce_) return;
        failedOnce_ = true;
    }
    emit failed();
}

void AvahiAdvertiser::start(std::string instanceName, std::string serviceType, quint16 port,
                            std::vector<std::string> txt) {
    if (poll_) return;
    name_ = std::move(instanceName);
    type_ = std::move(serviceType);
    port_ = port;
    txt_ = std::move(txt);
    poll_ = avahi_threaded_poll_new();
    if (!poll_) {
        fail();
        return;
    }
    int error = 0;
    // The callback may already run inside avahi_client_new, on this thread, before the poll
    // thread starts; it uses its client argument, not client_.
    client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AvahiClientFlags(0),
                               [](AvahiClient* c, AvahiClientState s, void* self) {
                                   onClientState(c, static_cast<int>(s), self);
                               },
                               this, &error);
    if (!client_) {
        fail();
        return;
    }
    if (avahi_threaded_poll_start(poll_) < 0) fail();
}

void AvahiAdvertiser::onClientState(AvahiClient* client, int state, void* self) {
    auto* me = static_cast<AvahiAdvertiser*>(self);
    switch (static_cast<AvahiClientState>(state)) {
        case AVAHI_CLIENT_S_RUNNING:
            me->publish(client);
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host name changes; our records go and come back once the daemon runs again.
            if (me->group_) avahi_entry_group_reset(me->group_);
            break;
        case AVAHI_CLIENT_FAILURE:
            me->fail();
            break;
        case AVAHI_CLIENT_CONNECTING:
            break;
    }
}

void AvahiAdvertiser::onGroupState(AvahiEntryGroup* group, int state, void* self) {
    auto* me = static_cast<AvahiAdvertiser*>(self);
    switch (static_cast<AvahiEntryGroupState>(state)) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED: {
            {
                std::lock_guard lock(me->mutex_);
                me->publishedName_ = me->name_;
            }
            emit me->established(QString::fromStdString(me->name_));
            break;
        }
        case AVAHI_ENTRY_GROUP_COLLISION: {
            char* alternative = avahi_alternative_service_name(me->name_.c_str());
            me->name_ = alternative;
            avahi_free(alternative);
            me->publish(avahi_entry_group_get_client(group));
            break;
        }
        case AVAHI_ENTRY_GROUP_FAILURE:
            me->fail();
            break;
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
            break;
    }
}

void AvahiAdvertiser::publish(AvahiClient* client) {
    if (!group_) {
        group_ = avahi_entry_group_new(
            client, [](AvahiEntryGroup* g, AvahiEntryGroupState s, void* self) { onGroupState(g, static_cast<int>(s), self); },
            this);
        if (!group_) {
            fail();
            return;
        }
    }
    for (;;) {
        avahi_entry_group_reset(group_);
        AvahiStringList* txt = nullptr;
        for (const auto& entry : txt_) txt = avahi_string_list_add(txt, entry.c_str());
        int rc = avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                      name_.c_str(), type_.c_str(), nullptr, nullptr, port_, txt);
        avahi_string_list_free(txt);
        if (rc == AVAHI_ERR_COLLISION) {
            // A local service already has this name: take Avahi's alternative and try again.
            char* alternative = avahi_alternative_service_name(name_.c_str());
            name_ = alternative;
            avahi_free(alternative);
            continue;
        }
        if (rc < 0 || avahi_entry_group_commit(group_) < 0) fail();
        return;
    }
}

}  // namespace vigilorb::transport
