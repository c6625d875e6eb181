#include "link/serial_link.h"

#include <sys/stat.h>

#include <algorithm>

#include "link/link_trace.h"
#include "link/result_codes.h"

namespace karvex {

std::string SerialDeviceForPort(int port, const SerialDevices& devices) {
    if (auto it = devices.find(port); it != devices.end() && !it->second.empty()) return it->second;
    return "/dev/ttyS" + std::to_string(port - 1);
}

void SerialLink::SetTraceFile(std::string path) {
    if (path == traceFile_) return;
    traceFile_ = std::move(path);
    trace_.reset();
}

SerialLink::SerialLink(Handlers handlers, QObject* parent)
    : QObject(parent), handlers_(std::move(handlers)), receiver_([this](const ReceivedFrame& f) {
          ticks_ = 0;  // every completed frame restarts the time-out
          return handlers_.frame ? handlers_.frame(f) : false;
      }) {
    timer1_.setInterval(tick_);
    connect(&timer1_, &QTimer::timeout, this, &SerialLink::OnTick);
    quiet_.setSingleShot(true);
    connect(&quiet_, &QTimer::timeout, this, &SerialLink::OnQuiet);
    presence_.setInterval(std::chrono::milliseconds(200));
    connect(&presence_, &QTimer::timeout, this, &SerialLink::CheckDevicePresent);
    connect(&port_, &QSerialPort::readyRead, this, &SerialLink::OnReadyRead);
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialLink::OnError);
}

SerialLink::~SerialLink() {
    // Closing from the destructor must not call back into an owner that is being torn down.
    handlers_ = {};
    Close();
}

int SerialLink::Open(int port, int selector, std::string* error) {
    const qint32 baud = selector == 2 ? 38400 : 9600;
    if (port_.isOpen() && portNumber_ == port) {
        port_.setBaudRate(baud);
        return 0;
    }
    Close();
    port_.setPortName(QString::fromStdString(SerialDeviceForPort(port, devices_)));
    port_.setBaudRate(baud);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!port_.open(QIODevice::ReadWrite)) {
        const auto err = port_.error();
        const int code = err == QSerialPort::DeviceNotFoundError ? kErrorPortNotFound
                         : err == QSerialPort::PermissionError   ? kErrorPortInUse
                                                                 : kErrorPortOther;
        // The operator reads the code's own message; the system's words follow for whoever looks deeper.
        if (error) *error = ResultMessage(code) + "（" + port_.errorString().toStdString() + "）";
        port_.clearError();
        return code;
    }
    // Settings applied before open are taken over by open(); apply them again for drivers that reset them.
    port_.setBaudRate(baud);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    portNumber_ = port;
    receiver_.Reset();
    devicePath_ = SerialDeviceForPort(port, devices_);
    struct stat st {};
    if (::stat(devicePath_.c_str(), &st) == 0) {
        deviceIno_ = st.st_ino;
        deviceRdev_ = st.st_rdev;
    } else {
        devicePath_.clear();
    }
    presence_.start();
    // A processor may still be sending to whoever had the port before (a host that died mid-answer).
    Unsettle();
    if (!trace_ && !traceFile_.empty()) {
        std::string why;
        trace_ = LinkTrace::Open(traceFile_, &why);
        // The trace is a support aid: a file that cannot be written is reported and the link works on.
        if (!trace_ && !why.empty()) qWarning("karvex: no trace of the line: %s", why.c_str());
    }
    if (trace_)
        trace_->Note("port " + std::to_string(port) + " " + SerialDeviceForPort(port, devices_) + " at " +
                     std::to_string(baud));
    return 0;
}

void SerialLink::Close() {
    timer1_.stop();
    presence_.stop();
    quiet_.stop();
    held_.reset();
    settled_ = false;
    receiver_.Reset();
    if (port_.isOpen()) port_.close();
    portNumber_ = 0;
}

int SerialLink::SendFrame(const Bytes& frame) {
    if (!port_.isOpen()) return result::kNoOpenPort;
    ticks_ = 0;
    timer1_.start(tick_);
    if (!settled_) {
        held_ = frame;
        heldFor_.start();
        if (!quiet_.isActive()) quiet_.start(QuietInterval());
        return 0;
    }
    WriteFrame(frame);
    return 0;
}

void SerialLink::WriteFrame(Bytes frame) {
    // A new request: whatever is left of an earlier answer is dropped, on the line and in the receiver.
    port_.clear(QSerialPort::AllDirections);
    const QByteArray stale = port_.readAll();
    receiver_.Reset();
    held_.reset();
    settled_ = true;
    port_.write(reinterpret_cast<const char*>(frame.data()), static_cast<qint64>(frame.size()));
    port_.flush();
    if (trace_) {
        // Dropped bytes are kept as a note, not as received bytes: a replay must not send them at another moment.
        if (!stale.isEmpty())
            trace_->Dropped(reinterpret_cast<const std::uint8_t*>(stale.constData()),
                            static_cast<std::size_t>(stale.size()));
        trace_->Sent(frame);
    }
    ticks_ = 0;
}

void SerialLink::Unsettle() {
    settled_ = false;
    if (port_.isOpen()) quiet_.start(QuietInterval());
}

void SerialLink::OnQuiet() {
    settled_ = true;
    if (held_ && port_.isOpen()) WriteFrame(std::move(*held_));
}

void SerialLink::SetQuietInterval(std::chrono::milliseconds quiet, std::chrono::milliseconds bound) {
    quietInterval_ = std::max(quiet, std::chrono::milliseconds(1));
    quietBound_ = std::max(bound, *quietInterval_);
}

std::chrono::milliseconds SerialLink::QuietInterval() const {
    return quietInterval_ ? *quietInterval_ : std::max(tick_ / 10, std::chrono::milliseconds(1));
}

std::chrono::milliseconds SerialLink::QuietBound() const { return quietBound_ ? *quietBound_ : tick_ * 2; }

void SerialLink::StopReceiving() {
    if (port_.isOpen()) {
        port_.clear(QSerialPort::Input);
    }
    receiver_.Reset();
    ticks_ = 0;
    timer1_.stop();
}

void SerialLink::StopTimeout() {
    ticks_ = 0;
    timer1_.stop();
}

void SerialLink::SetTickInterval(std::chrono::milliseconds interval) {
    tick_ = interval.count() > 0 ? interval : std::chrono::milliseconds(1);
    timer1_.setInterval(tick_);
}

void SerialLink::OnReadyRead() {
    if (reading_) return;  // a handler that waits inside the frame callback must not re-enter the reader
    reading_ = true;
    while (port_.isOpen() && port_.bytesAvailable() > 0) {
        QByteArray data = port_.readAll();
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.constData());
        const auto size = static_cast<std::size_t>(data.size());
        if (held_ || !timer1_.isActive()) {
            // No answer is awaited (or the request is not out yet): these bytes belong to an earlier request
            // and are dropped. The line settles again once they stop, or the held request goes out anyway
            // when they go on past the bound.
            if (trace_) trace_->Dropped(bytes, size);
            Unsettle();
            if (held_ && heldFor_.elapsed() >= QuietBound().count()) WriteFrame(std::move(*held_));
            continue;
        }
        if (trace_) trace_->Received(bytes, size);
        receiver_.Feed(bytes, size);
    }
    reading_ = false;
}

void SerialLink::OnTick() {
    if (held_) return;  // the request is not out yet: nothing to count against it
    ++ticks_;
    if (ticks_ > kTimeoutTicks) {
        if (port_.isOpen()) port_.clear(QSerialPort::Input);
        ticks_ = 0;
        timer1_.stop();
        receiver_.Reset();
        // The answer may still come, late: it must not be taken for the next request's.
        Unsettle();
        if (trace_) trace_->Note("time-out");
        if (handlers_.timeout) handlers_.timeout();
    }
}

void SerialLink::OnError(QSerialPort::SerialPortError error) {
    if (error != QSerialPort::ResourceError) return;
    std::string reason = port_.errorString().toStdString();
    port_.clearError();
    // Close later: closing inside the port's own error signal is not safe for every Qt version.
    QMetaObject::invokeMethod(
        this, [this, reason] { ReportLost(reason); }, Qt::QueuedConnection);
}

void SerialLink::CheckDevicePresent() {
    if (!port_.isOpen() || devicePath_.empty()) return;
    struct stat st {};
    if (::stat(devicePath_.c_str(), &st) != 0 || st.st_ino != deviceIno_ || st.st_rdev != deviceRdev_) {
        ReportLost("device " + devicePath_ + " is gone");
    }
}

void SerialLink::ReportLost(const std::string& reason) {
    if (!port_.isOpen() && portNumber_ == 0) return;
    const bool waiting = timer1_.isActive();
    Close();
    if (handlers_.lost) handlers_.lost(reason, waiting);
}

}  // namespace karvex
