// The TCP links to the master (0) and slave (1) switcher, and the engine's picture of the
// switcher that they bring in.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QByteArray>
#include <QObject>
#include <QString>

#include "base/clock.h"
#include "base/task.h"
#include "switcher/output_map.h"

class QTcpSocket;

namespace tarvo {

struct Logs;
class StatusView;
class Switcher;

constexpr int kMaster = 0;
constexpr int kSlave = 1;

// A connect attempt still under way is left alone for this long before a tick abandons it and
// starts a new one, so that a switcher behind a slow network can still be reached.
constexpr int kConnectPatienceMs = 3000;
// Bytes the socket may hold unsent before a new frame has to wait for the switcher to read.
constexpr qint64 kWriteBacklogLimit = 64 * 1024;
// A switcher that has taken no byte for this long while frames wait is not reading: the frames
// waiting, and those that come while it still takes nothing, are dropped.
constexpr int kWriteTimeoutMs = 2000;
// Units taken off one receive buffer before the loop gets a turn again.
constexpr int kDrainBatch = 1024;
// The most a receive buffer holds: what arrives while it is full is dropped, counted and said in
// one line, so that a switcher that floods the link cannot fill the memory. It holds the
// largest map a switcher can send.
constexpr qsizetype kMaxReceiveBuffer = 16 * 1024 * 1024;
// Lines for input dropped as invalid, each with its own text, in a second on one link; past
// them the bytes are summed into one "Invalid Data" line when the second is over.
constexpr int kInvalidLinesPerSecond = 10;
// A map request still unanswered for this long is sent again at the next ping answer.
constexpr int kMapAnswerPatienceMs = 5000;

// What became of a write. Dropped: the switcher was not reading (the caller says so in the
// error log).
enum class WriteResult { Written, NotConnected, Failed, Dropped };

// One link: its socket and what the engine knows of the switcher at its other end.
class SwitcherLink : public QObject {
    Q_OBJECT
public:
    SwitcherLink(Switcher& owner, int index);
    ~SwitcherLink() override;

    const int index;
    // Set true only by the socket's connected event; false only by the link's close.
    bool Connected = false;
    // The server has answered and reports its switcher present.
    bool Online = false;
    bool MapReceived = false;
    QByteArray RxBuffer;
    // How much of a frame still waiting for its end byte has been looked at already (see
    // NextRxStep); goes with RxBuffer, so it is cleared with it.
    qsizetype RxSeen = 0;
    void clearReceived() {
        RxBuffer.clear();
        RxSeen = 0;
    }
    int16_t NoReplyCount = 0;
    // Times the link was up (connected, its switcher answering) and went down: closed, or its
    // switcher reported absent. Not at exit.
    uint64_t losses = 0;
    // Counted before the flags go down, wherever the link leaves the up state.
    void noteDown() {
        if (Connected && Online) ++losses;
    }
    // When the socket's bytes were last read into the receive buffer (MonotonicNs).
    int64_t lastReadNs = 0;
    // Reset: a single empty entry.
    std::vector<OutputMap> Map = std::vector<OutputMap>(1);
    // Advanced whenever what the link knew is thrown away (the link closed, the switcher gone),
    // so that anything begun before can tell.
    uint64_t generation = 0;
    // The generation in which the engine last asked this link's switcher for its map, and when.
    std::optional<uint64_t> mapAskedIn;
    int32_t mapAskedAt = 0;
    // The generation in which the switcher last reported a take: only then is a take expected
    // to come back as a report.
    std::optional<uint64_t> takesReportedIn;
    bool reportsTakes() const { return takesReportedIn == generation; }
    // The map was asked for on this connection and the answer may still be on its way.
    bool mapAnswerDue() const;
    // The address the settings ask for, and the one the link last dialled (in use while up).
    QString wantedAddress;
    int32_t wantedPort = 0;
    QString address;
    int32_t port = 0;

    QTcpSocket* socket() const { return socket_; }
    void createSocket();
    bool isConnected() const;
    // Closes the socket without raising its closed event: only a peer's close is an event.
    // Runs waiting to write to it are told the link is down; what it had received is said
    // (dropped and invalid input still counted) and thrown away.
    void closeSocket();
    // Starts an asynchronous connect to the wanted address; false when the attempt could not
    // start.
    bool startConnect();
    // An attempt started less than kConnectPatienceMs ago is still under way.
    bool attemptUnderWay() const;
    void resetMap() { Map.assign(1, OutputMap{}); }

    // Writes `bytes` whole (in pieces of at most 16384 bytes when `pieces`). While the switcher
    // holds a backlog the run waits its turn, suspended; frames never interleave and are
    // written in the order their runs asked.
    Task<WriteResult> write(QByteArray bytes, bool pieces);
    // Writes at once or not at all, never waiting (pings, their answers, replies to the
    // switcher): dropped while the switcher holds a backlog, counted, and reported once when it
    // reads again.
    WriteResult writeNow(const QByteArray& bytes);
    // Consumes the units waiting in the receive buffer on a turn of the event loop of their own.
    void scheduleDrain();
    // Appends received bytes to the receive buffer as far as it has room; the rest is dropped
    // and counted.
    void takeIn(const QByteArray& bytes);
    // The receive buffer holds no complete unit any more: what was dropped is said, and a link
    // whose peer closed is closed now.
    void drained();
    // The error-log line of input dropped as invalid (`bytes` of it), within the link's budget
    // of lines a second; beyond it the bytes wait for the second's summing line.
    void reportInvalid(const QString& text, long long bytes);
    // Runs waiting for room on this link.
    std::size_t waitingWriters() const { return room_.size(); }

private:
    enum RoomResult { kRoomFree = 1, kRoomClosed, kRoomStalled };
    qint64 backlog() const;
    bool stalled();
    int64_t sinceProgress() const;
    int64_t kernelQueue() const;
    void noteProgress();
    bool append(const QByteArray& bytes, bool pieces);
    void onDataArrived();
    void onClosed();
    void onBytesWritten();
    void serveWaiters();
    void armStallCheck();
    void endStall();
    void reportDropped();
    void flushInvalid();

    Switcher& sw_;
    QTcpSocket* socket_ = nullptr;
    int32_t attemptStart_ = 0;
    bool drainQueued_ = false;
    WaitQueue room_;
    bool serving_ = false;
    int32_t lastProgress_ = 0;  // tick count when the switcher last took bytes
    int64_t lastKernelQueue_ = 0;
    AlarmId stallAlarm_ = 0;
    long long droppedRaw_ = 0;
    // The peer has closed: the link is closed once the receive buffer has been consumed.
    bool closing_ = false;
    long long droppedRx_ = 0;         // received bytes dropped while the buffer was full
    int32_t invalidSecond_ = 0;       // tick count when the current second of lines began
    int invalidLines_ = 0;            // lines written in it
    long long invalidHeld_ = 0;       // bytes past the budget, for the summing line
    AlarmId invalidAlarm_ = 0;
};

// The two links and the picture of the switcher they report.
class Switcher {
public:
    Switcher(Clock& clock, Logs& logs, StatusView& view);
    ~Switcher();
    Switcher(const Switcher&) = delete;
    Switcher& operator=(const Switcher&) = delete;

    Clock& clock;
    Logs& logs;
    StatusView& view;

    SwitcherLink& link(int index);  // 0 or 1; anything else is a failure
    SwitcherLink& master() { return *links_[0]; }
    SwitcherLink& slave() { return *links_[1]; }
    const SwitcherLink& master() const { return *links_[0]; }
    const SwitcherLink& slave() const { return *links_[1]; }

    bool SlaveEnabled = false;
    bool SlaveSocketLoaded = false;
    // Opto inputs and relays, 0-based; both links feed the one picture.
    std::vector<uint8_t> OptoState;
    std::vector<uint8_t> RelayState;
    // While a received frame is handled: when the read that brought it in took place
    // (MonotonicNs; 0 for bytes that came another way), the start of a trigger's latency.
    int64_t unitReadNs = 0;

    // Changes the switcher reports, as the engine wires them to the triggered runners. Opto and
    // relay numbers are 0-based as the switcher sends them; destinations are 1-based.
    std::function<void(int opto, int state)> optoChanged;
    std::function<void(int relay, int state)> relayChanged;
    std::function<bool(int dest)> watchesOutput;
    std::function<void(int dest, const OutputMap& before, const OutputMap& after)> outputChanged;
    // For observers of the link as a whole: a frame a switcher took from the engine, and
    // outputs of a link's picture the switcher has just reported (0-based first, count).
    std::function<void(int link, const QByteArray& frame)> frameSent;
    std::function<void(int link, int first, int count)> pictureChanged;

private:
    std::array<std::unique_ptr<SwitcherLink>, 2> links_;
};

void ConnectSwitcher(Switcher& sw);
void LoadSlaveSocket(Switcher& sw);
void ConnectSlave(Switcher& sw);
void CloseSwitcherLink(Switcher& sw);
void CloseSlaveLink(Switcher& sw);
// Moves what the socket holds into the link's receive buffer.
void TakeInSwitcherData(Switcher& sw, int link);
// Consumes complete units of the receive buffer until only an incomplete frame (or nothing) is
// left. After kDrainBatch units the rest is left to a later turn of the event loop; a link whose
// peer closed is closed when nothing is left (so a close after a flood still takes turns).
void DrainReceiveBuffer(Switcher& sw, int link);
// The error-log line of received bytes dropped because the receive buffer was full.
QString ReceiveOverflowText(int link, long long bytes);

inline const QString kCaptionServerNotConnected = QStringLiteral("Tarvo Automation - Server Not Connected");

}  // namespace tarvo
