#pragma once
// The live event stream (text/event-stream): every client that asked for it gets each command-log line as
// a "log" event and the packets of a long answer as "progress" events. A comment line goes out when nothing
// else has for a while, so that a client that went away is noticed and dropped.
#include <QObject>
#include <QTimer>

#include <chrono>
#include <vector>

#include "service/http_server.h"

namespace karvex::service {

class EventHub : public QObject {
    Q_OBJECT
public:
    explicit EventHub(std::chrono::milliseconds heartbeat, QObject* parent = nullptr);
    // Starts the stream on `responder`; false when its client is gone.
    bool Subscribe(const ResponderPtr& responder);
    // One event; `data` may hold several lines.
    void Publish(const QByteArray& event, const QByteArray& data);
    int Subscribers() const { return static_cast<int>(clients_.size()); }

private:
    void Broadcast(const QByteArray& bytes);

    std::vector<ResponderPtr> clients_;
    QTimer heartbeat_;
};

}  // namespace karvex::service
