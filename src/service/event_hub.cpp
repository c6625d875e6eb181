#include "service/event_hub.h"

#include <algorithm>

namespace karvex::service {

EventHub::EventHub(std::chrono::milliseconds heartbeat, QObject* parent) : QObject(parent) {
    heartbeat_.setInterval(heartbeat);
    connect(&heartbeat_, &QTimer::timeout, this, [this] { Broadcast(": \n\n"); });
    heartbeat_.start();
}

bool EventHub::Subscribe(const ResponderPtr& responder) {
    if (!responder->StartStream("text/event-stream; charset=utf-8", {{"X-Accel-Buffering", "no"}})) return false;
    // The first bytes tell the client at once that the stream stands.
    if (!responder->SendChunk(": karvexd\n\n")) return false;
    clients_.push_back(responder);
    return true;
}

void EventHub::Publish(const QByteArray& event, const QByteArray& data) {
    QByteArray bytes = "event: " + event + "\n";
    for (const QByteArray& line : data.split('\n'))
        bytes += "data: " + (line.endsWith('\r') ? line.chopped(1) : line) + "\n";
    bytes += "\n";
    Broadcast(bytes);
    heartbeat_.start();
}

void EventHub::Broadcast(const QByteArray& bytes) {
    clients_.erase(
        std::remove_if(clients_.begin(), clients_.end(), [&](const ResponderPtr& r) { return !r->SendChunk(bytes); }),
        clients_.end());
}

}  // namespace karvex::service
