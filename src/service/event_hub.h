#pragma once
// The live event stream (text/event-stream): every client that asked for it gets each command-log line as
// a "log" event and the packets of a long answer as "progress" events. A comment line goes out when nothing
// else has for a while, so that a client that went away is noticed and dropped.
//
// Every event has an id ("<run>-<n>": the service's start time in milliseconds, and a count). A client that
// comes back with the last id it saw (Last-Event-ID, as a browser's EventSource sends on its own) is first
// sent the kept events after it; with an id of an earlier run, every kept event. The last 256 are kept.
#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <utility>
#include <vector>

#include "service/http_server.h"

namespace karvex::service {

class EventHub : public QObject {
    Q_OBJECT
public:
    explicit EventHub(std::chrono::milliseconds heartbeat, QObject* parent = nullptr);
    // Starts the stream on `responder`, after the kept events that came after `lastEventId` (none when it is
    // empty); false when its client is gone.
    bool Subscribe(const ResponderPtr& responder, const QByteArray& lastEventId = {}, QByteArray credential = {});
    // Closes every stream whose credential (the token it was opened with) `valid` no longer accepts.
    void DropUnless(const std::function<bool(const QByteArray& credential)>& valid);
    // One event; `data` may hold several lines.
    void Publish(const QByteArray& event, const QByteArray& data);
    int Subscribers() const { return static_cast<int>(clients_.size()); }

private:
    void Broadcast(const QByteArray& bytes);

    struct Client {
        ResponderPtr responder;
        QByteArray credential;
    };
    std::vector<Client> clients_;
    QTimer heartbeat_;
    const QByteArray run_;
    std::uint64_t published_ = 0;
    std::deque<std::pair<std::uint64_t, QByteArray>> kept_;
};

}  // namespace karvex::service
