#include "switcher/peer_content.h"

#include <type_traits>

#include <QStringList>

#include "logs/failure.h"
#include "switcher/codec.h"

namespace tarvo {

namespace {

constexpr int kCaret = 94;

bool escapable(int code) {
    return code >= 64 && code <= 95;
}

// "^" followed by a character from "@" to "_" stands for that character's code less 64 (so
// "^M" is a carriage return); any other caret stays as it is. `code` gives a character's code.
template <class Text, class Code>
Text decodeCaretEscapes(const Text& in, Code code) {
    using Char = std::decay_t<decltype(*in.begin())>;
    Text out;
    out.reserve(in.size());
    bool pending = false;
    for (const Char c : in) {
        const int k = code(c);
        if (pending) {
            pending = false;
            if (escapable(k)) {
                out.append(Char(static_cast<char>(k - 64)));
            } else {
                // Not an escape: the caret stays. The character after it cannot be a caret
                // (that would have been an escape), so it needs no second look.
                out.append(Char(static_cast<char>(kCaret)));
                out.append(c);
            }
        } else if (k == kCaret) {
            pending = true;
        } else {
            out.append(c);
        }
    }
    return out;
}

[[noreturn]] void badSettings(const QString& text) {
    fail(kErrInvalidCall,
         QStringLiteral("Invalid serial port settings '") + text + QLatin1Char('\''));
}

}  // namespace

QByteArray DecodeCaretEscapes(const QByteArray& in) {
    return decodeCaretEscapes<QByteArray>(in, [](char c) { return static_cast<uint8_t>(c); });
}

QString DecodeCaretEscapes(const QString& in) {
    return decodeCaretEscapes<QString>(in, [](QChar c) { return static_cast<int>(c.unicode()); });
}

QByteArray TextCodeUnitBytes(const QString& text) {
    QByteArray out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const auto lo = static_cast<char>(u & 0xFF);
        const auto hi = static_cast<char>(u >> 8);
        if (lo != 0) out.append(lo);
        if (hi != 0) out.append(hi);
    }
    return out;
}

MessageContent TextMessageContent(const QString& message) {
    return {DecodeCaretEscapes(TextCodeUnitBytes(message)), DatagramBytes(DecodeCaretEscapes(message))};
}

MessageContent FileMessageContent(const QByteArray& fileBytes) {
    return {fileBytes, fileBytes};
}

MessageContent DecodedFileMessageContent(const QByteArray& fileBytes) {
    const QByteArray decoded = DecodeCaretEscapes(fileBytes);
    return {decoded, decoded};
}

QByteArray DatagramBytes(const QString& text) {
    return text.toLatin1();
}

QString BaudRateText(int32_t selector) {
    switch (selector) {
        case 0:
            return QStringLiteral("2400");
        case 1:
            return QStringLiteral("9600");
        case 2:
            return QStringLiteral("14400");
        case 3:
            return QStringLiteral("19200");
        case 4:
            return QStringLiteral("28800");
        case 6:
            return QStringLiteral("115200");
        case 7:
            return QStringLiteral("128000");
        case 8:
            return QStringLiteral("1200");
        case 9:
            return QStringLiteral("38400");
        default:
            return QStringLiteral("57600");
    }
}

QString SerialSettingsText(const QString& speedText) {
    return speedText + QStringLiteral(",n,8,1");
}

SerialSettings ParseSerialSettings(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4) badSettings(text);
    SerialSettings s;
    bool ok = false;
    const int baud = parts[0].trimmed().toInt(&ok);
    if (!ok || baud <= 0) badSettings(text);
    s.baud = baud;

    const QString parity = parts[1].trimmed().toLower();
    if (parity == QLatin1String("n"))
        s.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("e"))
        s.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("o"))
        s.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("m"))
        s.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("s"))
        s.parity = QSerialPort::SpaceParity;
    else
        badSettings(text);

    const int bits = parts[2].trimmed().toInt(&ok);
    if (!ok || bits < 5 || bits > 8) badSettings(text);
    s.dataBits = static_cast<QSerialPort::DataBits>(bits);

    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1"))
        s.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        s.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        s.stopBits = QSerialPort::TwoStop;
    else
        badSettings(text);
    return s;
}

QByteArray SourceSelectFrame(int deviceId, int source) {
    return FrameBuilder(0xD3)
        .byte(0x01)
        .byte(0x01)
        .byte(0x00)
        .byte(0x05)
        .num14(deviceId)
        .num14(WireNumber(source))
        .byte(0x00)
        .finish();
}

}  // namespace tarvo
