#include "switcher/peer_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <QStringList>

#include "logs/failure.h"

namespace tarvo {

namespace {

// Whether the kernel's routes make `ip` a broadcast address of a network of this machine: a
// datagram socket without SO_BROADCAST may not be connected to one (EACCES). A connect of a
// datagram socket only picks a route; nothing goes on the wire.
bool routedBroadcast(uint32_t ip) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(9);
    sa.sin_addr.s_addr = htonl(ip);
    const bool refused = ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 && errno == EACCES;
    ::close(fd);
    return refused;
}

[[noreturn]] void refuse(const QString& text, const QString& why) {
    fail(kErrInvalidCall, QStringLiteral("Invalid peer address '") + text + QStringLiteral("': ") + why);
}

}  // namespace

bool DottedDecimal(const QString& text, uint32_t* ip) {
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4) return false;
    uint32_t value = 0;
    for (const QString& part : parts) {
        if (part.isEmpty() || part.size() > 3) return false;
        uint32_t n = 0;
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
            n = n * 10 + static_cast<uint32_t>(c.unicode() - '0');
        }
        if (n > 255) return false;
        value = value << 8 | n;
    }
    if (ip) *ip = value;
    return true;
}

DialledAddress DialAddress(const QString& given, bool allowBroadcast) {
    const QString text = given.trimmed();
    DialledAddress a;
    if (!DottedDecimal(text, &a.ip)) refuse(given, QStringLiteral("four dotted decimal parts 0 to 255 wanted"));
    a.text = QStringLiteral("%1.%2.%3.%4").arg(a.ip >> 24).arg(a.ip >> 16 & 255).arg(a.ip >> 8 & 255).arg(a.ip & 255);
    if (a.ip == 0) refuse(given, QStringLiteral("not set"));
    const bool multicast = (a.ip >> 28) == 0xE;
    const bool broadcast = a.ip == 0xFFFFFFFFu || (!multicast && routedBroadcast(a.ip));
    if ((multicast || broadcast) && !allowBroadcast)
        refuse(given, (multicast ? QStringLiteral("a multicast address") : QStringLiteral("a broadcast address")) +
                          QStringLiteral(", refused unless the row's Method is \"Broadcast\""));
    a.broadcast = multicast || broadcast;
    return a;
}

}  // namespace tarvo
