#include "switcher/peer_messages.h"

#include <sys/ioctl.h>

#include <exception>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSerialPort>
#include <QTcpSocket>
#include <QUdpSocket>

#include "engine/engine.h"
#include "logs/logs.h"
#include "scheduler/clock.h"
#include "scheduler/time_arith.h"
#include "store/automation_event.h"
#include "switcher/codec.h"
#include "switcher/framing.h"
#include "switcher/peer_content.h"

namespace tarvo {

namespace {

// Peers are given as dotted IPv4 text. Anything else (a name would need a lookup that can take
// any time; 0.0.0.0 is the editing tool's "not set") is refused before a connection is tried.
QHostAddress peerAddress(const QString& address) {
    QHostAddress host;
    if (!host.setAddress(address.trimmed()) || host.protocol() != QAbstractSocket::IPv4Protocol ||
        host == QHostAddress(QHostAddress::AnyIPv4))
        fail(kErrInvalidCall,
             QStringLiteral("Invalid peer address '") + address + QLatin1Char('\''));
    return host;
}

quint16 peerPort(int32_t port) {
    if (port < 1 || port > 65535)
        fail(kErrInvalidCall, QStringLiteral("Invalid peer port ") + QString::number(port));
    return static_cast<quint16>(port);
}

[[noreturn]] void failSocket(const QAbstractSocket& s, const QString& what) {
    fail(kErrSocket + static_cast<int>(s.error()), what + QStringLiteral(": ") + s.errorString());
}

bool isConnected(const QAbstractSocket& s) {
    return s.state() == QAbstractSocket::ConnectedState;
}

// The connect attempt is over without a connection (refused, unreachable): more checks are
// pointless.
bool attemptEnded(const QAbstractSocket& s) {
    return s.state() == QAbstractSocket::UnconnectedState;
}

QByteArray readMessageFile(const Engine& e, const QString& name) {
    // A relative path is taken from the program folder, not from wherever the engine was started.
    const QString path = QDir(e.AppFolder).absoluteFilePath(name);
    const QFileInfo info(path);
    if (!info.exists()) fail(kErrFileNotFound, QStringLiteral("File not found: ") + path);
    // Only a plain file: a pipe or a device could keep the read waiting for ever.
    if (!info.isFile()) fail(kErrFileIo, QStringLiteral("Not a file: ") + path);
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        fail(kErrPermission,
             QStringLiteral("Unable to open ") + path + QStringLiteral(": ") + f.errorString());
    QByteArray bytes = f.readAll();
    if (f.error() != QFileDevice::NoError)
        fail(kErrFileIo,
             QStringLiteral("Unable to read ") + path + QStringLiteral(": ") + f.errorString());
    return bytes;
}

MessageContent buildContent(const Engine& e, const AutomationEvent& ev) {
    switch (ev.mcontrol) {
        case kMessageText:
            return TextMessageContent(ev.Message);
        case kMessageFile:
            return FileMessageContent(readMessageFile(e, ev.Message));
        case kMessageDecodedFile:
            return DecodedFileMessageContent(readMessageFile(e, ev.Message));
        default:
            // Kind 2 has no content of its own. Sending an empty message in its place would log
            // as sent a message that no peer ever got.
            fail(kErrInvalidCall, QStringLiteral("Message kind ") + QString::number(ev.mcontrol) +
                                      QStringLiteral(" has no content to send"));
    }
}

// Hands `data` to the connected socket in pieces. A piece the network does not take at once
// (its buffers are full) is waited for, events handled; a peer that stops taking data, or a
// connection that drops, fails the message.
void writePieces(Engine& e, QTcpSocket& sock, const QByteArray& data) {
    for (qsizetype offset = 0; offset < data.size(); offset += kMaxWriteChunk) {
        if (!isConnected(sock)) failSocket(sock, QStringLiteral("Connection lost"));
        const QByteArray piece = data.mid(offset, kMaxWriteChunk);
        if (sock.write(piece) != piece.size()) failSocket(sock, QStringLiteral("Write failed"));
        int64_t start = e.clock.tickCount();
        for (;;) {
            sock.flush();  // writes what the network takes now, without blocking
            if (sock.bytesToWrite() == 0) break;
            if (!isConnected(sock)) failSocket(sock, QStringLiteral("Connection lost"));
            if (CheckDelay(e, start, kWriteStallLimitMs))
                fail(kErrSocket + static_cast<int>(QAbstractSocket::SocketTimeoutError),
                     QStringLiteral("The peer did not take the message"));
            ProcessWait(e, kWritePollMs);
        }
    }
}

// Bytes written to the device that it has not sent yet.
int kernelOutputQueue(const QSerialPort& port) {
    int queued = 0;
    if (::ioctl(port.handle(), TIOCOUTQ, &queued) != 0) return 0;
    return queued;
}

int serialErrorNumber(QSerialPort::SerialPortError err) {
    switch (err) {
        case QSerialPort::DeviceNotFoundError:
            return kErrPathNotFound;
        case QSerialPort::PermissionError:
            return kErrPermission;
        default:
            return kErrFileIo;
    }
}

[[noreturn]] void failSerial(const QSerialPort& port, const QString& what) {
    fail(serialErrorNumber(port.error()), what + QStringLiteral(": ") + port.errorString());
}

// Waits (events handled) until everything written has gone out of the port, so that closing it
// neither drops the tail of the message nor holds the loop while the device drains.
void drainSerial(Engine& e, QSerialPort& port, qsizetype size, int32_t baud) {
    // Ten bit times a byte (start, 8 data, stop), plus a margin.
    const int64_t limit = kSerialDrainMarginMs + static_cast<int64_t>(size) * 10 * 1000 / baud;
    int64_t start = e.clock.tickCount();
    for (;;) {
        // The port writes what the device takes as the wait below handles its events.
        if (port.error() != QSerialPort::NoError) failSerial(port, QStringLiteral("Write failed"));
        if (port.bytesToWrite() == 0 && kernelOutputQueue(port) == 0) return;
        if (CheckDelay(e, start, limit))
            fail(kErrFileIo, QStringLiteral("Serial port ") + port.portName() +
                                 QStringLiteral(" did not send the message in time"));
        ProcessWait(e, kWritePollMs);
    }
}

class SerialClaim {
  public:
    SerialClaim(Engine& e, const QString& path) : e_(e), path_(path) {
        if (!e.peers().claimSerial(path))
            fail(kErrPermission, QStringLiteral("Serial port ") + path +
                                     QStringLiteral(" is in use by another message"));
    }
    ~SerialClaim() { e_.peers().releaseSerial(path_); }
    SerialClaim(const SerialClaim&) = delete;
    SerialClaim& operator=(const SerialClaim&) = delete;

  private:
    Engine& e_;
    QString path_;
};

}  // namespace

PeerPorts::PeerPorts(Engine&) {}
PeerPorts::~PeerPorts() = default;

bool PeerPorts::claimSerial(const QString& path) {
    if (serialInUse_.contains(path)) return false;
    serialInUse_.insert(path);
    return true;
}

void PeerPorts::releaseSerial(const QString& path) {
    serialInUse_.remove(path);
}

QString SerialPortPath(const Engine& e, int port) {
    if (port < 1)
        fail(kErrInvalidCall, QStringLiteral("Invalid serial port ") + QString::number(port));
    const QString inFolder = e.AppFolder + QStringLiteral("COM") + QString::number(port);
    // A link whose device is unplugged still names this port: opening it fails plainly instead
    // of sending the message out of some other port.
    const QFileInfo info(inFolder);
    if (info.exists() || info.isSymLink()) return inFolder;
    return QStringLiteral("/dev/ttyS") + QString::number(port - 1);
}

bool SendEventMessage(Engine& e, const AutomationEvent& event) {
    // A copy: the waits below run other handlers, which may change or drop the table entry.
    const AutomationEvent ev = event;
    return Guarded(e, kErrSendingMessage, false, [&] {
        const MessageContent content = buildContent(e, ev);
        switch (ev.mtype) {
            case kTransportTcp:
                return SendIPMessage(e, content.bytes, ev.MIPAddress, ev.MIPPort, ev.Title);
            case kTransportSerial: {
                const int port = ev.MCommPort + 1;
                if (!SendSerialMessage(e, content.bytes, port, BaudRateText(ev.MBaudRate)))
                    return false;
                WriteActivityLog(
                    e, kMessageSentToComm + QString::number(port) + kMessageTag + ev.Message);
                return true;
            }
            case kTransportSwitcher:
                // Nothing on the switcher side carries these; the message fails and says why.
                ReportError(
                    e, kErrSendingSwitcher,
                    TarvoError(kErrInvalidCall,
                               QStringLiteral("Messages through the switcher are not sent")));
                return false;
            case kTransportUdp:
                return SendUDPMessage(e, content.text, ev.MIPAddress, ev.MIPPort, ev.Title);
            default:
                fail(kErrInvalidCall,
                     QStringLiteral("Unknown message transport ") + QString::number(ev.mtype));
        }
    });
}

bool SendIPMessage(Engine& e, const QByteArray& data, const QString& address, int32_t port,
                   const QString& title) {
    try {
        const QHostAddress host = peerAddress(address);
        const quint16 peer = peerPort(port);
        QTcpSocket sock;
        sock.connectToHost(host, peer);

        ProcessWait(e, kFirstConnectWaitMs);
        for (int i = 0; i < kConnectChecks && !isConnected(sock) && !attemptEnded(sock); ++i) {
            ProcessWait(e, kConnectCheckMs);
            WriteActivityLog(e, kConnectionCheck);
        }
        if (!isConnected(sock)) {
            // Also when the peer refused at once: without this line a triggered message that
            // was refused would leave no trace at all.
            WriteActivityLog(e, kUnableToOpenSocket + address);
            return false;
        }

        writePieces(e, sock, data);
        ProcessWait(e, kAfterSendWaitMs);
        sock.close();
        WriteActivityLog(e, kMessageSentTo + address + kTitleTag + title);
        return true;
    } catch (...) {
        const TarvoError failure = CurrentFailure(std::current_exception());
        WriteActivityLog(e, kUnableToConnectIp);
        ReportError(e, kErrSendingIp, failure);
        return false;
    }
}

bool SendUDPMessage(Engine& e, const QString& text, const QString& address, int32_t port,
                    const QString& title) {
    try {
        const QHostAddress host = peerAddress(address);
        const quint16 peer = peerPort(port);
        QUdpSocket sock;
        sock.connectToHost(host, peer);
        ProcessWait(e, kUdpConnectWaitMs);

        // Exactly the text goes on the wire, one datagram, no trailing zero byte. A datagram is
        // sent whole or not at all; anything short of whole is a failure, not a success.
        const QByteArray datagram = DatagramBytes(text);
        if (sock.write(datagram) != datagram.size())
            failSocket(sock, QStringLiteral("Datagram not sent"));

        WriteActivityLog(e, kMessageSentTo + address + kTitleTag + title);
        sock.close();
        return true;
    } catch (...) {
        const TarvoError failure = CurrentFailure(std::current_exception());
        WriteActivityLog(e, kUnableToConnectUdp);
        ReportError(e, kErrSendingUdp, failure);
        return false;
    }
}

bool SendSerialMessage(Engine& e, const QByteArray& data, int port, const QString& speedText) {
    try {
        const SerialSettings settings = ParseSerialSettings(SerialSettingsText(speedText));
        const QString path = SerialPortPath(e, port);
        const SerialClaim claim(e, path);

        QSerialPort serial;
        serial.setReadBufferSize(kSerialBufferSize);
        serial.setPortName(path);
        if (!serial.setBaudRate(settings.baud) || !serial.setParity(settings.parity) ||
            !serial.setDataBits(settings.dataBits) || !serial.setStopBits(settings.stopBits) ||
            !serial.setFlowControl(QSerialPort::NoFlowControl))
            failSerial(serial, QStringLiteral("Unable to set up ") + path);
        if (!serial.open(QIODevice::WriteOnly))
            failSerial(serial, QStringLiteral("Unable to open ") + path);

        for (qsizetype offset = 0; offset < data.size(); offset += kMaxWriteChunk) {
            const QByteArray piece = data.mid(offset, kMaxWriteChunk);
            if (serial.write(piece) != piece.size())
                failSerial(serial, QStringLiteral("Write failed"));
        }
        drainSerial(e, serial, data.size(), settings.baud);
        serial.close();
        return true;
    } catch (...) {
        const TarvoError failure = CurrentFailure(std::current_exception());
        WriteActivityLog(e, kUnableToOpenSerial);
        ReportError(e, kErrSendingSerial, failure);
        return false;
    }
}

void SendSourceSelect(Engine& e, const AutomationEvent& ev) {
    const int deviceId = ev.ssDeviceID;
    const int source = ev.ssSource;
    Guarded(e, kErrSendingSourceSelect, [&] {
        SendToSwitcher(e, SourceSelectFrame(deviceId, source));
        WriteActivityLog(e, kSentSourceSelect + QString::number(deviceId) + kSourceTag +
                                QString::number(source));
    });
}

}  // namespace tarvo
