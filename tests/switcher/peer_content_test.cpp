#include <gtest/gtest.h>

#include "logs/failure.h"
#include "switcher/peer_content.h"

namespace tarvo {
namespace {

QByteArray bytes(std::initializer_list<int> v) {
    QByteArray b;
    for (int x : v) b.append(static_cast<char>(x));
    return b;
}

TEST(PeerContent, CaretEscapesInTheByteForm) {
    EXPECT_EQ(TextMessageContent(QStringLiteral("A^MB")).bytes, bytes({0x41, 0x0D, 0x42}));
    // Not an escape: the caret and the digit both go out.
    EXPECT_EQ(TextMessageContent(QStringLiteral("^1")).bytes, QByteArray("^1"));
    // A caret at the very end is dropped.
    EXPECT_EQ(TextMessageContent(QStringLiteral("AB^")).bytes, QByteArray("AB"));
    // The edges of the escapable range: @ gives a zero byte, _ gives 31, ` (96) is no escape.
    EXPECT_EQ(TextMessageContent(QStringLiteral("^@^_^`")).bytes, bytes({0x00, 0x1F, '^', '`'}));
    // A caret escapes a caret; what follows is plain again.
    EXPECT_EQ(TextMessageContent(QStringLiteral("^^M")).bytes, bytes({0x1E, 'M'}));
    // Lower-case letters are not escapes.
    EXPECT_EQ(TextMessageContent(QStringLiteral("^m")).bytes, QByteArray("^m"));
}

TEST(PeerContent, DatagramFormDecodesTheSameEscapesOnCharacters) {
    EXPECT_EQ(TextMessageContent(QStringLiteral("A^MB")).datagram, QByteArray("A\rB"));
    EXPECT_EQ(TextMessageContent(QStringLiteral("x^1^")).datagram, QByteArray("x^1"));
    EXPECT_EQ(TextMessageContent(QStringLiteral("^[")).datagram, bytes({27}));
    // Decoded on characters, then one byte each: U+4D5E stays one character and goes out as '?'.
    EXPECT_EQ(TextMessageContent(QString(QChar(0x4D5E))).datagram, QByteArray("?"));
}

TEST(PeerContent, ByteFormTakesCodeUnitsLowByteFirstWithoutZeros) {
    // U+20AC: low byte 0xAC then high byte 0x20; the zero high byte of 'é' is left out.
    EXPECT_EQ(TextCodeUnitBytes(QString::fromUtf8("\u00e9\u20ac")), bytes({0xE9, 0xAC, 0x20}));
    // Zero bytes are left out before the escapes are decoded: an escaped NUL survives.
    EXPECT_EQ(TextMessageContent(QString(QChar(0)) + QStringLiteral("^@")).bytes, bytes({0x00}));
    // The escapes are decoded on the bytes: U+4D5E gives a caret and an M, which is a CR.
    EXPECT_EQ(TextMessageContent(QString(QChar(0x4D5E))).bytes, bytes({0x0D}));
}

TEST(PeerContent, FileKinds) {
    const QByteArray file = bytes({'A', '^', 'M', 0x00, 0xFF, 'B'});
    const MessageContent plain = FileMessageContent(file);
    EXPECT_EQ(plain.bytes, file);
    EXPECT_EQ(plain.datagram, file);  // read as text, sent as text: the same bytes
    const MessageContent decoded = DecodedFileMessageContent(file);
    EXPECT_EQ(decoded.bytes, bytes({'A', 0x0D, 0x00, 0xFF, 'B'}));
    EXPECT_EQ(decoded.datagram, decoded.bytes);
    // Held once however large: a waiting message does not keep a second copy of its file.
    EXPECT_EQ(plain.bytes.constData(), plain.datagram.constData());
    EXPECT_EQ(decoded.bytes.constData(), decoded.datagram.constData());
}

TEST(PeerContent, DatagramsCarryOneBytePerCharacter) {
    EXPECT_EQ(DatagramBytes(QStringLiteral("A\rB")), QByteArray("A\rB"));
    EXPECT_EQ(DatagramBytes(QString::fromUtf8("\u00e9\u20ac")), bytes({0xE9, '?'}));
}

TEST(PeerContent, BaudSelectorsAndSettings) {
    const char* const expected[] = {"2400",  "9600",   "14400",  "19200", "28800",
                                    "57600", "115200", "128000", "1200",  "38400"};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(BaudRateText(i), QLatin1String(expected[i])) << i;
    EXPECT_EQ(BaudRateText(10), QStringLiteral("57600"));
    EXPECT_EQ(BaudRateText(-1), QStringLiteral("57600"));
    EXPECT_EQ(SerialSettingsText(QStringLiteral("9600")), QStringLiteral("9600,n,8,1"));

    const SerialSettings s = ParseSerialSettings(QStringLiteral("115200,n,8,1"));
    EXPECT_EQ(s.baud, 115200);
    EXPECT_EQ(s.parity, QSerialPort::NoParity);
    EXPECT_EQ(s.dataBits, QSerialPort::Data8);
    EXPECT_EQ(s.stopBits, QSerialPort::OneStop);
    const SerialSettings o = ParseSerialSettings(QStringLiteral("1200,E,7,2"));
    EXPECT_EQ(o.parity, QSerialPort::EvenParity);
    EXPECT_EQ(o.dataBits, QSerialPort::Data7);
    EXPECT_EQ(o.stopBits, QSerialPort::TwoStop);
    for (const char* bad :
         {"", "9600", "fast,n,8,1", "0,n,8,1", "9600,x,8,1", "9600,n,9,1", "9600,n,8,3"})
        EXPECT_THROW(ParseSerialSettings(QLatin1String(bad)), TarvoError) << bad;
}

TEST(PeerContent, SourceSelectFrame) {
    EXPECT_EQ(SourceSelectFrame(3, 10),
              bytes({0xD3, 0x01, 0x01, 0x00, 0x05, 0x03, 0x00, 0x09, 0x00, 0x00, 0x13, 0xFF}));
    // Both numbers in two 7-bit groups; the checksum wraps modulo 128.
    EXPECT_EQ(SourceSelectFrame(200, 1000),
              bytes({0xD3, 0x01, 0x01, 0x00, 0x05, 0x48, 0x01, 0x67, 0x07, 0x00, 0x3E, 0xFF}));
    // Numbers the wire cannot carry build nothing.
    EXPECT_THROW(SourceSelectFrame(3, 0), TarvoError);
    EXPECT_THROW(SourceSelectFrame(16384, 1), TarvoError);
}

}  // namespace
}  // namespace tarvo
