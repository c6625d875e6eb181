#pragma once
// The serial side of the link: the port, the answer time-out (Timer1) and the receive state machine fed
// from the port's data-received signal. What a completed frame means is decided by the owner through the
// handler; this class only moves bytes and counts ticks.
#include <QObject>
#include <QSerialPort>
#include <QTimer>

#include <QElapsedTimer>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "link/frame_receiver.h"
#include "link/result_codes.h"

namespace karvex {

class LinkTrace;

// Port number -> device path, for the ports whose device is not /dev/ttyS<N-1> (KARVEX_COM<N>).
using SerialDevices = std::map<int, std::string>;

// The serial device behind port number N (1 to 5): its entry in `devices` when there is one, else
// /dev/ttyS<N-1>.
std::string SerialDeviceForPort(int port, const SerialDevices& devices = {});

class SerialLink : public QObject {
    Q_OBJECT
public:
    // Ticks of Timer1 after which an unanswered command ends (the 31st tick).
    static constexpr int kTimeoutTicks = 30;

    struct Handlers {
        // A completed frame; return true to keep reading packets of the same answer.
        std::function<bool(const ReceivedFrame&)> frame;
        // More than kTimeoutTicks ticks without a completed frame.
        std::function<void()> timeout;
        // The device went away (a USB adapter pulled, the other end of a pty closed); `waiting` tells
        // whether an answer was still expected.
        std::function<void(const std::string& reason, bool waiting)> lost;
    };

    explicit SerialLink(Handlers handlers, QObject* parent = nullptr);
    ~SerialLink() override;

    // Opens port `port` (1-5) at the speed of `selector` (1 = 9600, 2 = 38400), 8 data bits, no parity, one
    // stop bit. 0 on success, else a runtime error number (see OpenErrorNumber) with `error` describing it.
    int Open(int port, int selector, std::string* error = nullptr);
    void Close();
    bool IsOpen() const { return port_.isOpen(); }
    int PortNumber() const { return portNumber_; }

    // Empties the input and output buffers, writes the frame and starts the time-out. 132 when no port is
    // open. While the line has not settled (see Unsettle) the frame is held back until no byte has come for
    // the quiet interval, or for at most the bound; the time-out does not count while it is held.
    int SendFrame(const Bytes& frame);

    // Something is still talking on the line (an answer that came too late, a processor streaming an answer
    // to a host that went away): the next request waits for it to fall quiet, and what comes before is
    // dropped. Opening the port, a time-out and bytes that come while no answer is awaited do this too.
    void Unsettle();
    bool Settled() const { return settled_; }
    bool HoldingFrame() const { return held_.has_value(); }

    // The quiet interval and its bound. Unset, they follow the tick: a tenth of it (at least 1 ms) and two
    // ticks.
    void SetQuietInterval(std::chrono::milliseconds quiet, std::chrono::milliseconds bound);
    std::chrono::milliseconds QuietInterval() const;
    std::chrono::milliseconds QuietBound() const;

    // Ends receiving: drops buffered input, resets the receive state, stops the time-out.
    void StopReceiving();
    void StopTimeout();
    void RestartTimeoutCount() { ticks_ = 0; }
    bool TimeoutRunning() const { return timer1_.isActive(); }
    int TimeoutTicks() const { return ticks_; }

    // Timer1's interval; tests shorten it so that 31 ticks pass in milliseconds.
    void SetTickInterval(std::chrono::milliseconds interval);
    std::chrono::milliseconds TickInterval() const { return tick_; }

    FrameReceiver& Receiver() { return receiver_; }

    // The devices of the ports, taken at the next Open.
    void SetDevices(SerialDevices devices) { devices_ = std::move(devices); }
    // The file the traffic is appended to from the next Open on (empty: none). A trace already running goes
    // on until the path changes.
    void SetTraceFile(std::string path);

    // Runtime error numbers of a refused open, in the serial control's numbering.
    static constexpr int kErrorPortNotFound = result::kPortNotFound;
    static constexpr int kErrorPortInUse = result::kPortInUse;
    static constexpr int kErrorPortOther = result::kPortOpenFailed;

private:
    void OnReadyRead();
    void OnQuiet();
    void WriteFrame(Bytes frame);
    void OnTick();
    void OnError(QSerialPort::SerialPortError error);
    void CheckDevicePresent();
    void ReportLost(const std::string& reason);

    Handlers handlers_;
    QSerialPort port_;
    QTimer timer1_;
    // A pulled USB adapter or a closed pty does not always raise an error on a quiet line (the device
    // only reads as end-of-file), so the device node is watched while the port is open.
    QTimer presence_;
    // Identity of the device node opened, so that a node of the same name made anew (a pty number handed to
    // another terminal) is not taken for the device that went away.
    std::string devicePath_;
    unsigned long long deviceIno_ = 0;
    unsigned long long deviceRdev_ = 0;
    FrameReceiver receiver_;
    std::chrono::milliseconds tick_{1000};
    // Restarted by every byte while the line settles; when it runs out, the line is quiet.
    QTimer quiet_;
    std::optional<std::chrono::milliseconds> quietInterval_;
    std::optional<std::chrono::milliseconds> quietBound_;
    bool settled_ = false;
    // The request held back until the line is quiet, and how long it has waited.
    std::optional<Bytes> held_;
    QElapsedTimer heldFor_;
    int ticks_ = 0;
    int portNumber_ = 0;
    bool reading_ = false;
    SerialDevices devices_;
    // The traffic record the settings ask for; started when a port first opens.
    std::string traceFile_;
    std::unique_ptr<LinkTrace> trace_;
};

}  // namespace karvex
