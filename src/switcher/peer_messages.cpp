#include "switcher/peer_messages.h"

#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSerialPort>
#include <QTcpSocket>

#include "base/wait.h"
#include "logs/logs.h"
#include "store/automation_event.h"
#include "store/plain_file.h"
#include "switcher/codec.h"
#include "switcher/framing.h"
#include "switcher/links.h"
#include "switcher/peer_address.h"
#include "switcher/peer_content.h"

namespace tarvo {

namespace {

// Peers are given as four dotted decimal parts (DialAddress); a name would need a lookup that
// can take any time, and is refused with every other form before a connection is tried.

quint16 peerPort(int32_t port) {
    if (port < 1 || port > 65535)
        fail(kErrInvalidCall, QStringLiteral("Invalid peer port ") + QString::number(port));
    return static_cast<quint16>(port);
}

// The failure of a transport that sends nothing, whatever the peer does.
TarvoError transportFailure(int16_t mtype) {
    // Nothing on the switcher side carries these.
    if (mtype == kTransportSwitcher)
        return TarvoError(kErrInvalidCall,
                          QStringLiteral("Messages through the switcher are not sent"));
    return TarvoError(kErrInvalidCall,
                      QStringLiteral("Unknown message transport ") + QString::number(mtype));
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

[[noreturn]] void refuseTooLarge(qint64 size) {
    fail(kErrOutOfMemory, QStringLiteral("Message file of %1 bytes refused: larger than the %2 bytes a message file may have")
                              .arg(size)
                              .arg(kMaxMessageFileSize));
}

// Reads a message file of at most `room` bytes. Only a plain file, checked once it is open: a
// pipe or a device could keep the open or the read waiting for ever.
PlainFile readMessageFile(const QString& path, qint64 room) {
    PlainFile f = ReadPlainFile(path, room, kMaxMessageFileSize);
    switch (f.status) {
        case PlainFile::Read:
            break;
        case PlainFile::Missing:
            fail(kErrFileNotFound, QStringLiteral("File not found: ") + path);
        case PlainFile::NotPlain:
            fail(kErrFileIo, QStringLiteral("Not a file: ") + path);
        case PlainFile::NoAccess:
            fail(kErrPermission,
                 QStringLiteral("Unable to open ") + path + QStringLiteral(": ") + f.error);
        case PlainFile::Failed:
            fail(kErrFileIo,
                 QStringLiteral("Unable to read ") + path + QStringLiteral(": ") + f.error);
        case PlainFile::TooLarge:
            refuseTooLarge(f.size);
    }
    return f;
}

// A message file's entry among the content held: what it is sent as, and which file it is.
QString fileKey(int16_t kind, const QString& path, qint64 size, qint64 modified) {
    return QString::number(kind) + QLatin1Char(':') + QString::number(size) + QLatin1Char(':') +
           QString::number(modified) + QLatin1Char(':') + path;
}

// The line of a message whose bytes went out: written when the run goes on, or when it is ended
// where it waits before it could write it.
class SentLine {
  public:
    SentLine(Logs& logs, QString line) : logs_(logs), line_(std::move(line)) {}
    ~SentLine() { write(); }
    SentLine(const SentLine&) = delete;
    SentLine& operator=(const SentLine&) = delete;
    void write() {
        if (written_) return;
        written_ = true;
        WriteActivityLog(logs_, line_);
    }

  private:
    Logs& logs_;
    QString line_;
    bool written_ = false;
};

[[noreturn]] void failErrno(int err, const QString& what) {
    fail(kErrSocket + err, what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(err)));
}

struct Descriptor {
    explicit Descriptor(int f) : fd(f) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    const int fd;
};

[[noreturn]] void failTimeout(const QString& what) {
    fail(kErrSocket + static_cast<int>(QAbstractSocket::SocketTimeoutError), what);
}

// Hands `data` to the connected socket a piece at a time, as the network takes it, and waits,
// suspended, while the network's buffers are full. At most one piece waits in the socket's own
// buffer, so the message is never copied whole. The message fails when the peer takes
// nothing for the stall limit, when it has not taken everything within the message's bound
// (counted from `begun`), or when the connection drops.
Task<> writePieces(PeerPorts& p, QTcpSocket& sock, const QByteArray& data, int64_t begun) {
    const int64_t bound = MessageTimeBoundMs(data.size());
    qsizetype given = 0;  // handed to the socket
    qint64 taken = 0;     // of that, taken by the network
    int64_t progressAt = p.clock.tickCount();
    for (;;) {
        if (!isConnected(sock)) failSocket(sock, QStringLiteral("Connection lost"));
        sock.flush();  // writes what the network takes now, without blocking
        while (given < data.size() && sock.bytesToWrite() == 0) {
            const qsizetype n = std::min<qsizetype>(kMaxWriteChunk, data.size() - given);
            if (sock.write(data.constData() + given, n) != n) failSocket(sock, QStringLiteral("Write failed"));
            given += n;
            sock.flush();
        }
        const qint64 now = given - sock.bytesToWrite();
        if (now == data.size()) co_return;
        if (now > taken) {
            taken = now;
            progressAt = p.clock.tickCount();
        }
        if (!isConnected(sock)) failSocket(sock, QStringLiteral("Connection lost"));
        if (CheckDelayOn(p.clock, begun, bound))
            failTimeout(QStringLiteral("The peer did not take the whole message within %1 s (%2 of %3 bytes)")
                            .arg(bound / 1000.0, 0, 'f', 1)
                            .arg(taken)
                            .arg(data.size()));
        if (CheckDelayOn(p.clock, progressAt, kWriteStallLimitMs))
            failTimeout(QStringLiteral("The peer did not take the message"));
        co_await ProcessWait(p.clock, kWritePollMs);
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

// Waits, suspended, until everything written has gone out of the port, so that closing it
// neither drops the tail of the message nor holds the loop while the device drains.
Task<> drainSerial(PeerPorts& p, QSerialPort& port, qsizetype size, int32_t baud) {
    // Ten bit times a byte (start, 8 data, stop), plus a margin.
    const int64_t limit = kSerialDrainMarginMs + static_cast<int64_t>(size) * 10 * 1000 / baud;
    int64_t start = p.clock.tickCount();
    for (;;) {
        // The port writes what the device takes while the run waits below.
        if (port.error() != QSerialPort::NoError) failSerial(port, QStringLiteral("Write failed"));
        if (port.bytesToWrite() == 0 && kernelOutputQueue(port) == 0) co_return;
        if (CheckDelayOn(p.clock, start, limit))
            fail(kErrFileIo, QStringLiteral("Serial port ") + port.portName() +
                                 QStringLiteral(" did not send the message in time"));
        co_await ProcessWait(p.clock, kWritePollMs);
    }
}

class SerialClaim {
  public:
    SerialClaim(PeerPorts& p, const QString& path) : p_(p), path_(path) {
        if (!p.claimSerial(path))
            fail(kErrPermission, QStringLiteral("Serial port ") + path +
                                     QStringLiteral(" is in use by another message"));
    }
    ~SerialClaim() { p_.releaseSerial(path_); }
    SerialClaim(const SerialClaim&) = delete;
    SerialClaim& operator=(const SerialClaim&) = delete;

  private:
    PeerPorts& p_;
    QString path_;
};

}  // namespace

int64_t MessageTimeBoundMs(qint64 size) {
    return kMessageTimeBaseMs + size * 1000 / kMessageSlowestRate;
}

void MessageContents::refuseBeyondCap(qint64 size) const {
    if (size <= cap_ - held_) return;
    if (held_ == 0)
        fail(kErrOutOfMemory, QStringLiteral("Message of %1 bytes refused: more than the %2 bytes "
                                             "messages in progress may hold")
                                  .arg(size)
                                  .arg(cap_));
    fail(kErrOutOfMemory, QStringLiteral("Message of %1 bytes refused: messages in progress hold %2 "
                                         "bytes, and at most %3 may be held")
                              .arg(size)
                              .arg(held_)
                              .arg(cap_));
}

HeldContent MessageContents::hold(const QString& appFolder, const AutomationEvent& ev) {
    if (ev.mcontrol == kMessageText) {
        MessageContent text = TextMessageContent(ev.Message);
        const qint64 size = text.bytes.size() + text.datagram.size();
        refuseBeyondCap(size);
        held_ += size;
        return HeldContent(*this, std::move(text), QString(), size);
    }
    if (ev.mcontrol != kMessageFile && ev.mcontrol != kMessageDecodedFile)
        // Kind 2 has no content of its own. Sending an empty message in its place would log
        // as sent a message that no peer ever got.
        fail(kErrInvalidCall, QStringLiteral("Message kind ") + QString::number(ev.mcontrol) +
                                  QStringLiteral(" has no content to send"));

    // A relative path is taken from the program folder, not from wherever the engine was started.
    const QString path = QDir(appFolder).absoluteFilePath(ev.Message);
    // A file already held is known by what the path names now: its bytes are not read again.
    // stat() opens nothing, so whatever is found there cannot hold the loop.
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode)) {
        const qint64 modified = static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        const auto it = files_.find(fileKey(ev.mcontrol, path, st.st_size, modified));
        if (it != files_.end()) {
            ++it->holders;
            return HeldContent(*this, it->content, it.key(), 0);
        }
        if (st.st_size > kMaxMessageFileSize) refuseTooLarge(st.st_size);  // before a byte of it is read
        refuseBeyondCap(st.st_size);
    }
    const PlainFile f = readMessageFile(path, cap_ - held_);
    refuseBeyondCap(f.size);  // grown since it was looked at
    const QString key = fileKey(ev.mcontrol, path, f.size, f.modified);
    SharedFile& shared = files_[key];
    if (shared.holders == 0) {
        shared.content = ev.mcontrol == kMessageFile ? FileMessageContent(f.bytes)
                                                      : DecodedFileMessageContent(f.bytes);
        held_ += shared.content.bytes.size();
    }
    ++shared.holders;
    return HeldContent(*this, shared.content, key, 0);
}

void MessageContents::release(const QString& key, qint64 ownBytes) {
    held_ -= ownBytes;
    if (key.isEmpty()) return;
    const auto it = files_.find(key);
    if (it == files_.end() || --it->holders > 0) return;
    held_ -= it->content.bytes.size();
    files_.erase(it);
}

bool PeerPorts::claimSerial(const QString& path) {
    if (serialInUse_.contains(path)) return false;
    serialInUse_.insert(path);
    return true;
}

void PeerPorts::releaseSerial(const QString& path) {
    serialInUse_.remove(path);
}

QString SerialPortPath(const QString& appFolder, int port) {
    if (port < 1 || port > kMaxSerialPort)
        fail(kErrInvalidCall, QStringLiteral("Invalid serial port ") + QString::number(port));
    const QString inFolder = appFolder + QStringLiteral("COM") + QString::number(port);
    // A link whose device is unplugged still names this port: opening it fails plainly instead
    // of sending the message out of some other port.
    const QFileInfo info(inFolder);
    if (info.exists() || info.isSymLink()) return inFolder;
    return QStringLiteral("/dev/ttyS") + QString::number(port - 1);
}

bool AllowsBroadcast(const AutomationEvent& ev) {
    return ev.Method.view().trimmed().compare(QLatin1String("Broadcast"), Qt::CaseInsensitive) == 0;
}

Task<bool> SendEventMessage(PeerPorts& p, const AutomationEvent& event) {
    // A copy: other runs go on while this one waits, and may change or drop the table entry.
    const AutomationEvent ev = event;
    bool sent = false;
    try {
        // Held until the send ends, ended at exit too.
        const HeldContent held = p.contents.hold(p.appFolder, ev);
        const MessageContent& content = held.content();
        switch (ev.mtype) {
            case kTransportTcp:
                sent = co_await SendIPMessage(p, content.bytes, ev.MIPAddress, ev.MIPPort, ev.Title, AllowsBroadcast(ev));
                break;
            case kTransportSerial: {
                const int port = ev.MCommPort + 1;
                sent = co_await SendSerialMessage(p, content.bytes, port, BaudRateText(ev.MBaudRate));
                if (sent) WriteActivityLog(p.logs, kMessageSentToComm + QString::number(port) + kMessageTag + ev.Message);
                break;
            }
            case kTransportSwitcher:
                // The message fails and says why, under a location of its own.
                ReportError(p.logs, kErrSendingSwitcher, transportFailure(ev.mtype));
                break;
            case kTransportUdp:
                sent = co_await SendUDPMessage(p, content.datagram, ev.MIPAddress, ev.MIPPort, ev.Title,
                                               AllowsBroadcast(ev));
                break;
            default:
                throw transportFailure(ev.mtype);
        }
    } catch (...) {
        ReportError(p.logs, kErrSendingMessage, CurrentFailure(std::current_exception()));
        sent = false;
    }
    co_return sent;
}

std::optional<TarvoError> MessageFailure(const QString& appFolder, const AutomationEvent& ev) {
    try {
        // In the order a send meets them: the content, the transport, the peer. Nothing else is
        // held here, so the cap refuses only a file that no send could hold.
        MessageContents contents;
        const HeldContent held = contents.hold(appFolder, ev);
        switch (ev.mtype) {
            case kTransportTcp:
            case kTransportUdp:
                DialAddress(ev.MIPAddress, AllowsBroadcast(ev));
                peerPort(ev.MIPPort);
                break;
            case kTransportSerial:
                SerialPortPath(appFolder, ev.MCommPort + 1);
                break;
            default:
                throw transportFailure(ev.mtype);
        }
    } catch (const TarvoError& failure) {
        return failure;
    }
    return std::nullopt;
}

Task<bool> SendIPMessage(PeerPorts& p, QByteArray data, QString address, int32_t port, QString title,
                         bool allowBroadcast) {
    bool sent = false;
    try {
        const DialledAddress dialled = DialAddress(address, allowBroadcast);
        address = dialled.text;
        const quint16 peer = peerPort(port);
        const int64_t begun = p.clock.tickCount();
        QTcpSocket sock;
        // A peer that talks back is read and its bytes dropped as they come: the socket never
        // holds more than one read of them (left unread, they would pile up without end, and
        // closing with them unread would reset the connection before the message was taken).
        sock.setReadBufferSize(kPeerReadBufferSize);
        QObject::connect(&sock, &QIODevice::readyRead, &sock, [&sock] { sock.skip(sock.bytesAvailable()); });
        sock.connectToHost(QHostAddress(dialled.ip), peer);

        co_await ProcessWait(p.clock, kFirstConnectWaitMs);
        for (int i = 0; i < kConnectChecks && !isConnected(sock) && !attemptEnded(sock); ++i) {
            co_await ProcessWait(p.clock, kConnectCheckMs);
            WriteActivityLog(p.logs, kConnectionCheck);
        }
        if (!isConnected(sock)) {
            // Also when the peer refused at once: without this line a triggered message that
            // was refused would leave no trace at all.
            WriteActivityLog(p.logs, kUnableToOpenSocket + address);
            // Data of more than one write is used up piece by piece against the missing
            // connection and ends as a failure, as it does towards a switcher that is down.
            if (data.size() > kMaxWriteChunk)
                fail(kErrSocket + 57, QStringLiteral("Socket is not connected"));
            co_return false;
        }

        // Set once connected: Qt keeps no option for a socket that is not yet.
        sock.setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kMessageSendBuffer);
        co_await writePieces(p, sock, data, begun);
        // The bytes are with the peer's system now: ended where it waits below (at exit), the
        // run still says so before "Program Exit".
        SentLine sentLine(p.logs, kMessageSentTo + address + kTitleTag + title);
        co_await ProcessWait(p.clock, kAfterSendWaitMs);
        sock.close();
        sentLine.write();
        sent = true;
    } catch (...) {
        const TarvoError failure = CurrentFailure(std::current_exception());
        WriteActivityLog(p.logs, kUnableToConnectIp);
        ReportError(p.logs, kErrSendingIp, failure);
    }
    co_return sent;
}

Task<bool> SendUDPMessage(PeerPorts& p, QByteArray datagram, QString address, int32_t port, QString title,
                          bool allowBroadcast) {
    bool sent = false;
    try {
        const DialledAddress dialled = DialAddress(address, allowBroadcast);
        address = dialled.text;
        const quint16 peer = peerPort(port);
        // A socket of its own rather than Qt's, which sets SO_BROADCAST on every datagram socket:
        // without it the kernel refuses a broadcast address it knows (connect fails, EACCES).
        const Descriptor sock(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (sock.fd < 0) failErrno(errno, QStringLiteral("Unable to open a datagram socket"));
        const int broadcast = dialled.broadcast ? 1 : 0;
        if (::setsockopt(sock.fd, SOL_SOCKET, SO_BROADCAST, &broadcast, sizeof broadcast) != 0)
            failErrno(errno, QStringLiteral("Unable to set up the datagram socket"));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(peer);
        sa.sin_addr.s_addr = htonl(dialled.ip);
        if (::connect(sock.fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
            failErrno(errno, QStringLiteral("Unable to connect to ") + address);
        co_await ProcessWait(p.clock, kUdpConnectWaitMs);

        // Exactly the datagram goes on the wire, no trailing zero byte. A datagram is sent whole
        // or not at all; anything short of whole is a failure, not a success.
        ssize_t n;
        do {
            n = ::send(sock.fd, datagram.constData(), static_cast<size_t>(datagram.size()), MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n != datagram.size()) failErrno(n < 0 ? errno : EMSGSIZE, QStringLiteral("Datagram not sent"));

        WriteActivityLog(p.logs, kMessageSentTo + address + kTitleTag + title);
        sent = true;
    } catch (...) {
        const TarvoError failure = CurrentFailure(std::current_exception());
        WriteActivityLog(p.logs, kUnableToConnectUdp);
        ReportError(p.logs, kErrSendingUdp, failure);
    }
    co_return sent;
}

Task<bool> SendSerialMessage(PeerPorts& p, QByteArray data, int port, QString speedText) {
    bool sent = false;
    try {
        const SerialSettings settings = ParseSerialSettings(SerialSettingsText(speedText));
        const QString path = SerialPortPath(p.appFolder, port);
        const SerialClaim claim(p, path);

        QSerialPort serial;
        serial.setReadBufferSize(kSerialBufferSize);
        serial.setPortName(path);
        if (!serial.setBaudRate(settings.baud) || !serial.setParity(settings.parity) ||
            !serial.setDataBits(settings.dataBits) || !serial.setStopBits(settings.stopBits) ||
            !serial.setFlowControl(QSerialPort::NoFlowControl))
            failSerial(serial, QStringLiteral("Unable to set up ") + path);
        if (!serial.open(QIODevice::WriteOnly)) failSerial(serial, QStringLiteral("Unable to open ") + path);

        for (qsizetype offset = 0; offset < data.size(); offset += kMaxWriteChunk) {
            const QByteArray piece = data.mid(offset, kMaxWriteChunk);
            if (serial.write(piece) != piece.size()) failSerial(serial, QStringLiteral("Write failed"));
        }
        co_await drainSerial(p, serial, data.size(), settings.baud);
        serial.close();
        sent = true;
    } catch (...) {
        const TarvoError failure = CurrentFailure(std::current_exception());
        WriteActivityLog(p.logs, kUnableToOpenSerial);
        ReportError(p.logs, kErrSendingSerial, failure);
    }
    co_return sent;
}

Task<SendResult> SendSourceSelect(Switcher& sw, const AutomationEvent& ev) {
    const int deviceId = ev.ssDeviceID;
    const int source = ev.ssSource;
    SendResult result = SendResult::Failed;
    try {
        result = co_await SendToSwitcher(sw, SourceSelectFrame(deviceId, source));
        if (result == SendResult::Sent)
            WriteActivityLog(sw.logs, kSentSourceSelect + QString::number(deviceId) + kSourceTag + QString::number(source));
    } catch (...) {
        ReportError(sw.logs, kErrSendingSourceSelect, CurrentFailure(std::current_exception()));
        result = SendResult::Failed;
    }
    co_return result;
}

}  // namespace tarvo
