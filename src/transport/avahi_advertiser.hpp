#pragma once
#include <QObject>
#include <QString>

#include <mutex>
#include <string>
#include <vector>

struct AvahiThreadedPoll;
struct AvahiClient;
struct AvahiEntryGroup;

namespace vigilorb::transport {

// Publishes one DNS-SD service through the Avahi daemon on the system bus. Avahi's client runs
// on its own thread (its threaded poll); results come back as queued signals. A name taken by
// another host is replaced by Avahi's alternative ("Name #2"). No daemon, no bus, or a daemon
// that goes away: failed() once; nothing is retried here (the next key activation starts a new
// advertiser).
class AvahiAdvertiser : public QObject {
    Q_OBJECT
public:
    explicit AvahiAdvertiser(QObject* parent = nullptr);
    ~AvahiAdvertiser() override;  // withdraws the service

    void start(std::string instanceName, std::string serviceType, quint16 port, std::vector<std::string> txt);
    // The name the service is published under (after collisions), empty until established.
    QString publishedName() const;

signals:
    void established(const QString& instanceName);
    void failed();

private:
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
    std::string name_;
    std::string type_;
    quint16 port_ = 0;
    std::vector<std::string> txt_;
    mutable std::mutex mutex_;  // guards publishedName_ and failedOnce_
    std::string publishedName_;
    bool failedOnce_ = false;

    static void onClientState(AvahiClient* client, int state, void* self);
    static void onGroupState(AvahiEntryGroup* group, int state, void* self);
    void publish(AvahiClient* client);
    void fail();
};

}  // namespace vigilorb::transport
