// Messages to other equipment over TCP, UDP and the serial port, and the source select.
//
// Every message gets a socket or serial-port object of its own for as long as it runs. A message
// waits (for the connection, for the peer to take the data, the second after sending) as a
// suspended run, and other runs may send messages meanwhile; with one object per message the
// two never share a connection. Only the serial device itself cannot be shared: a message that
// finds its port held by a message still in progress fails with the serial failure lines.
//
// What messages in progress hold is bounded: the sends of one message file share its bytes,
// the total they hold is capped, and a TCP message has a time bound as a whole.
#pragma once

#include <cstdint>
#include <optional>

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include "base/task.h"
#include "logs/failure.h"
#include "switcher/peer_content.h"
#include "switcher/framing.h"

namespace tarvo {

class Clock;
struct Logs;
class Switcher;
struct AutomationEvent;

// Activity-log and error-log texts of the messages.
inline const QString kConnectionCheck = QStringLiteral("Connection Check");
inline const QString kUnableToOpenSocket = QStringLiteral("Unable to open socket to ");
inline const QString kMessageSentTo = QStringLiteral("Message Sent to ");
inline const QString kTitleTag = QStringLiteral(" Title:");
inline const QString kMessageSentToComm = QStringLiteral("Message Sent to comm:");
inline const QString kMessageTag = QStringLiteral(" Message: ");
inline const QString kUnableToConnectIp = QStringLiteral("not executed - Unable to connect to IP");
inline const QString kUnableToConnectUdp =
    QStringLiteral("not executed - Unable to connect to UDP");
inline const QString kUnableToOpenSerial =
    QStringLiteral(" not executed - Unable to open Serial Port");
inline const QString kSentSourceSelect = QStringLiteral("Sent Source Select: Device ID - ");
inline const QString kSourceTag = QStringLiteral(", Source - ");
inline const QString kErrSendingMessage = QStringLiteral("Error Sending Message");
inline const QString kErrSendingIp = QStringLiteral("Error Sending Message to IP");
inline const QString kErrSendingUdp = QStringLiteral("Error Sending Message to UDP");
inline const QString kErrSendingSwitcher = QStringLiteral("Error Sending Message to Switcher");
// The misspelling is the text operators search their error logs for.
inline const QString kErrSendingSerial = QStringLiteral("Error Sending Serail Message");
inline const QString kErrSendingSourceSelect = QStringLiteral("Error Sending Source Select");

// Connection and write limits of a TCP message.
constexpr int kFirstConnectWaitMs = 100;
constexpr int kConnectCheckMs = 100;
constexpr int kConnectChecks = 11;
constexpr int kAfterSendWaitMs = 1000;
constexpr int kUdpConnectWaitMs = 100;
// A TCP message whose peer takes none of its bytes for this long fails: the time without
// progress, however long the message has been going. A peer that reads steadily shows its
// progress only in steps: its kernel opens the window again once a segment's worth (64 KB on
// loopback) or a sixteenth of its buffer is free, which at the slowest rate below takes seconds.
constexpr int kWriteStallLimitMs = 10000;
// A TCP message's time as a whole, from the connect until its peer has taken the last byte:
// this base plus its size at the slowest rate a peer is expected to read (see
// docs/database.md). A peer that is still reading when it runs out fails the message.
constexpr int64_t kMessageTimeBaseMs = 30000;
constexpr int64_t kMessageSlowestRate = 16 * 1024;  // bytes a second
int64_t MessageTimeBoundMs(qint64 size);
// The kernel's send buffer of a message socket (the kernel doubles it for its own use). Without
// it the kernel takes up to 4 MB of every message at once, whether the peer reads or not: a
// peer's progress would be the kernel's, and 256 waiting messages could hold a gigabyte there.
// 64 KB in flight still fills a LAN link (64 KB a millisecond of round trip).
constexpr int kMessageSendBuffer = 64 * 1024;
// The most bytes the content of messages in progress holds at once, the content that sends
// share counted once: 256 runs (the most at once) of a quarter MB each, or a few large files
// waiting on slow peers; about three times what the engine holds with a full table loaded. A
// message whose content would take the total past it is refused before its file is read.
constexpr qint64 kHeldContentCap = 64 * 1024 * 1024;
// The largest message file sent: 4 MiB. A TCP message may take 30 s plus its size at 16 KB/s
// (MessageTimeBoundMs), so 4 MiB is a run of up to about five minutes; a serial message of 4 MiB
// takes an hour at 9600 baud. A larger file is refused before a byte of it is read.
constexpr qint64 kMaxMessageFileSize = 4 * 1024 * 1024;
// What a message socket holds of what its peer sends before it is read and dropped.
constexpr qint64 kPeerReadBufferSize = 64 * 1024;
// A serial message may take its transmit time at the port's speed plus this before it fails.
constexpr int kSerialDrainMarginMs = 1000;
constexpr int kSerialBufferSize = 32000;
// How often a wait for written data looks again.
constexpr int kWritePollMs = 10;

class HeldContent;

// The content of the messages in progress. A message file's content (as sent: decoded or not)
// is read once and shared by every send of that file, the same path, size and modification
// time, for as long as one of them holds it; a changed file is read again. The bytes held are
// counted, a shared file's once, and a message whose content would take the total past the cap
// is refused.
class MessageContents {
public:
    explicit MessageContents(qint64 cap = kHeldContentCap) : cap_(cap) {}
    MessageContents(const MessageContents&) = delete;
    MessageContents& operator=(const MessageContents&) = delete;

    // The event's content (its text, or its file as MessageFailure describes), held until the
    // result is destroyed. Fails when the content cannot be made and when it would pass the cap.
    // A relative file name is taken from `appFolder`.
    HeldContent hold(const QString& appFolder, const AutomationEvent& ev);
    qint64 heldBytes() const { return held_; }
    // Message files held now, each once however many sends share it.
    qsizetype filesHeld() const { return files_.size(); }

private:
    friend class HeldContent;
    struct SharedFile {
        MessageContent content;
        int holders = 0;
    };
    // Refuses content of `size` bytes that the cap has no room for.
    void refuseBeyondCap(qint64 size) const;
    void release(const QString& fileKey, qint64 ownBytes);

    qint64 cap_;
    qint64 held_ = 0;
    QHash<QString, SharedFile> files_;
};

// One message's hold on its content; QByteArray's sharing makes its copies cost nothing.
class HeldContent {
public:
    HeldContent(const HeldContent&) = delete;
    HeldContent& operator=(const HeldContent&) = delete;
    ~HeldContent() { owner_.release(fileKey_, ownBytes_); }
    const MessageContent& content() const { return content_; }

private:
    friend class MessageContents;
    HeldContent(MessageContents& owner, MessageContent content, QString fileKey, qint64 ownBytes)
        : owner_(owner), content_(std::move(content)), fileKey_(std::move(fileKey)), ownBytes_(ownBytes) {}
    MessageContents& owner_;
    MessageContent content_;
    QString fileKey_;   // the shared file's entry; empty for a text
    qint64 ownBytes_;   // what a text counts by itself
};

// What messages to other equipment work with: the clock their waits run on, the logs, the
// program folder (message files, COM links), the content held and the serial devices in use.
class PeerPorts {
public:
    PeerPorts(Clock& clock, Logs& logs, const QString& appFolder, qint64 contentCap = kHeldContentCap)
        : clock(clock), logs(logs), appFolder(appFolder), contents(contentCap) {}
    Clock& clock;
    Logs& logs;
    QString appFolder;
    MessageContents contents;

    // False when another message holds the device.
    bool claimSerial(const QString& path);
    void releaseSerial(const QString& path);

private:
    QSet<QString> serialInUse_;
};

// Whether the row allows a broadcast or multicast peer: its Method is "Broadcast" (any case).
bool AllowsBroadcast(const AutomationEvent& ev);

// Sends the event's message; false when it was not sent (the caller logs the refusal). Content
// that would take what messages in progress hold past the cap is refused like content that
// cannot be made: one error-log line, nothing sent, false.
Task<bool> SendEventMessage(PeerPorts& p, const AutomationEvent& ev);
// The failure that keeps the event's message from going out whatever its peer does: content
// that cannot be made (kind 2; a file that is missing, not a regular file, unreadable, larger
// than kMaxMessageFileSize or than the cap on what messages in progress hold), a transport that
// sends nothing (through the switcher, unknown), or an address (DialAddress) or port that is
// never dialled. Empty when the send would be tried. Reads the message file; sends nothing.
std::optional<TarvoError> MessageFailure(const QString& appFolder, const AutomationEvent& ev);
// Connects, sends `data`, waits a second and closes. True when every byte was taken, without a
// pause of the peer's longer than the stall limit and within the message's time bound. What the
// peer sends meanwhile is read and dropped. `allowBroadcast`: see DialAddress (a TCP connection
// cannot reach a broadcast address anyway; the kernel refuses it).
Task<bool> SendIPMessage(PeerPorts& p, QByteArray data, QString address, int32_t port, QString title,
                         bool allowBroadcast = false);
// Opens serial port `port` (1-based) at the speed, writes `data` and closes the port.
Task<bool> SendSerialMessage(PeerPorts& p, QByteArray data, int port, QString speedText);
// Sends `datagram` (the message's DatagramBytes) as one datagram. The socket may send to a
// broadcast address (SO_BROADCAST) only when `allowBroadcast` lets DialAddress take one.
Task<bool> SendUDPMessage(PeerPorts& p, QByteArray datagram, QString address, int32_t port, QString title,
                          bool allowBroadcast = false);
// Logged once the master's link took the frame; Failed when it could not be built (reported).
Task<SendResult> SendSourceSelect(Switcher& sw, const AutomationEvent& ev);

// Serial ports are 1 to 192: the system names no built-in serial port beyond /dev/ttyS191.
constexpr int kMaxSerialPort = 192;
// The device of serial port `port` (1-based): COM<port> in the program folder when that entry
// exists (usually a link the operator made to the real device), else /dev/ttyS<port - 1>. A port
// outside 1 .. kMaxSerialPort is a failure.
QString SerialPortPath(const QString& appFolder, int port);

}  // namespace tarvo
