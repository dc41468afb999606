// What a message to other equipment carries, and the source-select frame. Everything here is
// pure: texts and bytes in, bytes out. Files, sockets and the serial port are in peer_messages.
#pragma once

#include <cstdint>

#include <QByteArray>
#include <QSerialPort>
#include <QString>

namespace tarvo {

// Content kinds (mcontrol) and transports (mtype) of a message event.
enum MessageKind : int16_t {
    kMessageText = 1,
    kMessageFile = 3,
    kMessageDecodedFile = 4,
};
enum MessageTransport : int16_t {
    kTransportTcp = 1,
    kTransportSerial = 2,
    kTransportSwitcher = 3,
    kTransportUdp = 4,
};

// A caret followed by a character coded 64..95 (@, A..Z, [, \, ], ^, _) stands for the control
// character 0..31; a caret before anything else is kept with that character; a caret at the very
// end is dropped.
QByteArray DecodeCaretEscapes(const QByteArray& in);
QString DecodeCaretEscapes(const QString& in);

// The text's 16-bit code units byte by byte, low byte first, zero bytes left out. Plain ASCII
// comes out as itself.
QByteArray TextCodeUnitBytes(const QString& text);

// The two forms of one message: bytes for TCP and serial, and the datagram UDP sends, made from
// the message as text. A file's two forms are the same bytes and share one buffer: a large file
// is held once while its message waits on a peer.
struct MessageContent {
    QByteArray bytes;
    QByteArray datagram;
};

MessageContent TextMessageContent(const QString& message);
// A file sent as it is: both forms are the file's bytes (read as text one character per byte,
// sent as a datagram one byte per character).
MessageContent FileMessageContent(const QByteArray& fileBytes);
// A file whose caret escapes are decoded first: both forms carry the decoded bytes.
MessageContent DecodedFileMessageContent(const QByteArray& fileBytes);

// The bytes a datagram carries for the text form: one byte per character; a character that one
// byte cannot hold goes out as '?'.
QByteArray DatagramBytes(const QString& text);

// The serial speed chosen by MBaudRate.
QString BaudRateText(int32_t selector);
// The serial port's settings text for a speed: no parity, 8 data bits, 1 stop bit.
QString SerialSettingsText(const QString& speedText);

struct SerialSettings {
    int32_t baud = 0;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};
// Reads "speed,parity,data bits,stop bits" (for example "9600,n,8,1"); anything else is a failure.
SerialSettings ParseSerialSettings(const QString& text);

// The source-select frame: select `source` (1-based) on device `deviceId`.
QByteArray SourceSelectFrame(int deviceId, int source);

}  // namespace tarvo
