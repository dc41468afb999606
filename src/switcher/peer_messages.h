// Messages to other equipment over TCP, UDP and the serial port, and the source select.
//
// Every message gets a socket or serial-port object of its own for as long as it runs. A message
// waits (for the connection, for the peer to take the data, the second after sending) as a
// suspended run, and other runs may send messages meanwhile; with one object per message the
// two never share a connection. Only the serial device itself cannot be shared: a message that
// finds its port held by a message still in progress fails with the serial failure lines.
#pragma once

#include <cstdint>
#include <optional>

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>

#include "base/task.h"
#include "logs/failure.h"
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
// A piece of a TCP message that the peer does not take within this time fails the message.
constexpr int kWriteStallLimitMs = 1000;
// A serial message may take its transmit time at the port's speed plus this before it fails.
constexpr int kSerialDrainMarginMs = 1000;
constexpr int kSerialBufferSize = 32000;
// How often a wait for written data looks again.
constexpr int kWritePollMs = 10;

// What messages to other equipment work with: the clock their waits run on, the logs, the
// program folder (message files, COM links) and the serial devices in use.
class PeerPorts {
public:
    PeerPorts(Clock& clock, Logs& logs, const QString& appFolder)
        : clock(clock), logs(logs), appFolder(appFolder) {}
    Clock& clock;
    Logs& logs;
    QString appFolder;

    // False when another message holds the device.
    bool claimSerial(const QString& path);
    void releaseSerial(const QString& path);

private:
    QSet<QString> serialInUse_;
};

// Sends the event's message; false when it was not sent (the caller logs the refusal).
Task<bool> SendEventMessage(PeerPorts& p, const AutomationEvent& ev);
// The failure that keeps the event's message from going out whatever its peer does: content
// that cannot be made (kind 2; a file that is missing, not a regular file or unreadable), a
// transport that sends nothing (through the switcher, unknown), or an address or port that is
// never dialled. Empty when the send would be tried. Reads the message file; sends nothing.
std::optional<TarvoError> MessageFailure(const QString& appFolder, const AutomationEvent& ev);
// Connects, sends `data`, waits a second and closes. True when every byte was taken.
Task<bool> SendIPMessage(PeerPorts& p, QByteArray data, QString address, int32_t port, QString title);
// Opens serial port `port` (1-based) at the speed, writes `data` and closes the port.
Task<bool> SendSerialMessage(PeerPorts& p, QByteArray data, int port, QString speedText);
// Sends `datagram` (the message's DatagramBytes) as one datagram.
Task<bool> SendUDPMessage(PeerPorts& p, QByteArray datagram, QString address, int32_t port, QString title);
// Logged once the master's link took the frame; Failed when it could not be built (reported).
Task<SendResult> SendSourceSelect(Switcher& sw, const AutomationEvent& ev);

// Serial ports are 1 to 192: the system names no built-in serial port beyond /dev/ttyS191.
constexpr int kMaxSerialPort = 192;
// The device of serial port `port` (1-based): COM<port> in the program folder when that entry
// exists (usually a link the operator made to the real device), else /dev/ttyS<port - 1>. A port
// outside 1 .. kMaxSerialPort is a failure.
QString SerialPortPath(const QString& appFolder, int port);

}  // namespace tarvo
