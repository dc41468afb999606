// The TCP links to the master (0) and slave (1) switcher.
#pragma once

#include <array>
#include <cstdint>

#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpSocket;

namespace tarvo {

class Engine;

// A connect attempt still under way is left alone for this long before a tick abandons it and
// starts a new one, so that a switcher behind a slow network can still be reached.
constexpr int kConnectPatienceMs = 3000;
// Bytes the socket may hold unsent before a new frame has to wait for the switcher to read.
constexpr qint64 kWriteBacklogLimit = 64 * 1024;
// How long a frame waits for that backlog to drain before it is dropped.
constexpr int kWriteTimeoutMs = 2000;
// Units taken off one receive buffer before the loop gets a turn again.
constexpr int kDrainBatch = 1024;

// Owns the two switcher sockets and turns their signals into the link procedures below. The
// procedures keep the flags; this object only knows sockets.
class SwitcherLinks : public QObject {
    Q_OBJECT
  public:
    explicit SwitcherLinks(Engine& e);
    ~SwitcherLinks() override;

    // TimedOut: the frame waited its time and was given up (the caller logs it). Dropped: given
    // up at once, the switcher being known not to read; these are counted and logged as one
    // line when the switcher catches up or the link closes.
    enum class WriteResult { Written, NotConnected, Failed, TimedOut, Dropped };

    // The socket of a link: 0 always exists, 1 once LoadSlaveSocket has created it.
    QTcpSocket* socket(int link) const;
    void createSocket(int link);
    // The socket's is-connected query.
    bool isConnected(int link) const;
    // Closes a socket without raising its closed event: only a peer's close is an event.
    void close(int link);
    // Starts an asynchronous connect; false when the attempt could not start.
    bool startConnect(int link, const QString& address, int32_t port);
    // An attempt started less than kConnectPatienceMs ago is still under way.
    bool attemptUnderWay(int link) const;
    // Writes `bytes` (in pieces of at most 16384 bytes when `pieces`) once the socket has room.
    // A switcher that does not read gets kWriteTimeoutMs once; until it has caught up, later
    // frames are dropped at once.
    WriteResult write(int link, const QByteArray& bytes, bool pieces);
    // Consumes the units waiting in a receive buffer on the next turn of the event loop.
    void scheduleDrain(int link);
    // True while a frame waits for a switcher to read. Received units are then left in the
    // receive buffers until the wait is over: consuming one may write, and that write would
    // wait inside this wait; a switcher that goes on sending while it does not read would
    // stack such waits one inside the other without end.
    bool writeWaiting() const { return writeWaits_ > 0; }

  private:
    void onDataArrived(int link);
    void onClosed(int link);
    void endStall(int link);

    Engine& e_;
    std::array<QTcpSocket*, 2> sockets_{};
    std::array<int32_t, 2> attemptStart_{};
    std::array<bool, 2> drainQueued_{};
    int writeWaits_ = 0;
    // The switcher let a frame's wait run out and has not caught up since: later frames are
    // given up at once instead of each waiting again.
    std::array<bool, 2> notReading_{};
    std::array<long long, 2> droppedBytes_{};
};

void ConnectSwitcher(Engine& e);
void LoadSlaveSocket(Engine& e);
void ConnectSlave(Engine& e);
void CloseSwitcherLink(Engine& e);
void CloseSlaveLink(Engine& e);
// Moves what the socket holds into RxBuffer[link].
void TakeInSwitcherData(Engine& e, int link);
// The same, then consumes every complete unit.
void ReadSwitcherData(Engine& e, int link);
// Consumes complete units of RxBuffer[link] until only an incomplete frame (or nothing) is left.
// After kDrainBatch units the rest is left to a later turn of the event loop.
void DrainReceiveBuffer(Engine& e, int link);

}  // namespace tarvo
