#include "service/event_hub.h"

#include <QDateTime>

#include <algorithm>

namespace karvex::service {

namespace {
constexpr std::size_t kKeptEvents = 256;
}

EventHub::EventHub(std::chrono::milliseconds heartbeat, QObject* parent)
    : QObject(parent), run_(QByteArray::number(QDateTime::currentMSecsSinceEpoch())) {
    heartbeat_.setInterval(heartbeat);
    connect(&heartbeat_, &QTimer::timeout, this, [this] { Broadcast(": \n\n"); });
    heartbeat_.start();
}

bool EventHub::Subscribe(const ResponderPtr& responder, const QByteArray& lastEventId, QByteArray credential) {
    if (!responder->StartStream("text/event-stream; charset=utf-8", {{"X-Accel-Buffering", "no"}})) return false;
    // The first bytes tell the client at once that the stream stands.
    if (!responder->SendChunk(": karvexd\n\n")) return false;
    if (!lastEventId.isEmpty()) {
        const qsizetype dash = lastEventId.lastIndexOf('-');
        bool number = false;
        const std::uint64_t seen = lastEventId.mid(dash + 1).toULongLong(&number);
        // An id of this run that does not read as a count replays nothing; one of another run, everything.
        const bool thisRun = dash > 0 && lastEventId.left(dash) == run_;
        for (const auto& [id, bytes] : kept_) {
            if (thisRun && (!number || id <= seen)) continue;
            if (!responder->SendChunk(bytes)) return false;
        }
    }
    clients_.push_back({responder, std::move(credential)});
    return true;
}

void EventHub::DropUnless(const std::function<bool(const QByteArray&)>& valid) {
    clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                  [&](const Client& c) {
                                      if (valid(c.credential)) return false;
                                      c.responder->Close();
                                      return true;
                                  }),
                   clients_.end());
}

void EventHub::Publish(const QByteArray& event, const QByteArray& data) {
    ++published_;
    QByteArray bytes = "id: " + run_ + "-" + QByteArray::number(published_) + "\nevent: " + event + "\n";
    for (const QByteArray& line : data.split('\n'))
        bytes += "data: " + (line.endsWith('\r') ? line.chopped(1) : line) + "\n";
    bytes += "\n";
    kept_.emplace_back(published_, bytes);
    if (kept_.size() > kKeptEvents) kept_.pop_front();
    Broadcast(bytes);
    heartbeat_.start();
}

void EventHub::Broadcast(const QByteArray& bytes) {
    clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                  [&](const Client& c) { return !c.responder->SendChunk(bytes); }),
                   clients_.end());
}

}  // namespace karvex::service
