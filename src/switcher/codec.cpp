#include "switcher/codec.h"

#include <algorithm>

#include "logs/failure.h"

namespace tarvo {

uint8_t CheckSum(const QByteArray& frame, int n) {
    int sum = 0;
    const long long last = static_cast<long long>(frame.size()) - 1 - n;
    for (long long p = 1; p <= last; ++p) sum = (sum + static_cast<uint8_t>(frame[p])) % 128;
    return static_cast<uint8_t>(sum);
}

bool FrameChecksumOk(const QByteArray& frame) {
    if (frame.size() < 3) return false;
    return CheckSum(frame, 2) == static_cast<uint8_t>(frame[frame.size() - 2]);
}

int Decode7BitPair(uint8_t lo, uint8_t hi) { return to16(hi * 128 + lo); }

uint8_t ReadByte(const QByteArray& frame, long long pos) {
    if (pos < 0 || pos >= frame.size()) failSubscript();
    return static_cast<uint8_t>(frame[pos]);
}

int Read14(const QByteArray& frame, long long pos) {
    return Decode7BitPair(ReadByte(frame, pos), ReadByte(frame, pos + 1));
}

int FindEOM(const QByteArray& bytes) { return static_cast<int>(bytes.indexOf(char(0xFF))) + 1; }

FrameBuilder::FrameBuilder(uint8_t type) { frame_.append(static_cast<char>(type)); }

FrameBuilder& FrameBuilder::byte(int v) {
    if (v < 0 || v > 127) fail(kErrOverflow, QStringLiteral("Overflow"));
    frame_.append(static_cast<char>(v));
    return *this;
}

FrameBuilder& FrameBuilder::num14(int v) {
    if (!Fits14(v)) fail(kErrOverflow, QStringLiteral("Overflow"));
    byte(v & 127);
    byte((v - (v & 127)) / 128);
    return *this;
}

FrameBuilder& FrameBuilder::mask28(long long m) {
    if (m < 0 || m >= (1LL << 28)) fail(kErrOverflow, QStringLiteral("Overflow"));
    for (int k = 0; k < 4; ++k) byte(static_cast<int>((m >> (7 * k)) & 127));
    return *this;
}

FrameBuilder& FrameBuilder::bytes(const QByteArray& payload) {
    // Checked whole, then appended in one piece: uploads hand over blocks of megabytes.
    for (char c : payload)
        if (static_cast<uint8_t>(c) > 127) fail(kErrOverflow, QStringLiteral("Overflow"));
    frame_.append(payload);
    return *this;
}

QByteArray FrameBuilder::finish() const {
    QByteArray f = frame_;
    f.append(static_cast<char>(CheckSum(f, 0)));
    f.append(static_cast<char>(kEndOfMessage));
    return f;
}

bool IsControlByte(uint8_t b) {
    return b == kPing || b == kPingAnswer || b == kSwitcherAbsent || b == kNoEffect;
}

RxStep NextRxStep(QByteArray& buffer, qsizetype* seen) {
    RxStep step;
    // Where the look for the end byte goes on: the bytes before it were looked at already.
    const qsizetype from = seen ? std::clamp<qsizetype>(*seen, 1, std::max<qsizetype>(buffer.size(), 1)) : 1;
    if (seen) *seen = 0;
    if (buffer.isEmpty()) return step;

    // Resynchronise on the first byte with its top bit set.
    qsizetype skipped = 0;
    while (skipped < buffer.size() && (static_cast<uint8_t>(buffer[skipped]) & 0x80) == 0)
        ++skipped;
    if (skipped > 0) {
        step.kind = RxStep::Garbage;
        step.count = static_cast<int>(skipped);
        buffer.remove(0, skipped);
        return step;
    }

    const uint8_t type = static_cast<uint8_t>(buffer[0]);
    step.type = type;
    if (IsControlByte(type)) {
        step.kind = RxStep::Control;
        buffer.remove(0, 1);
        return step;
    }

    // A type byte before the end byte (or, while none has come, anywhere after the start)
    // means this frame was cut short by a new message: it is dropped at once, so that what
    // follows (pings, say) is not held up until some end byte arrives. The identity request is
    // exempt: its payload may carry top-bit bytes. One look from the start to the first byte
    // with its top bit set decides it: a stream of frames cut short costs no look at the whole
    // rest of the stream for each of them.
    int p = 0;  // 1-based position of the end byte, 0 while it has not come
    if (type == kEndOfMessage) {
        p = 1;
    } else if (type == kIdentType) {
        p = static_cast<int>(buffer.indexOf(static_cast<char>(kEndOfMessage), from)) + 1;
    } else {
        for (qsizetype pos = from; pos < buffer.size(); ++pos) {
            const auto b = static_cast<uint8_t>(buffer[pos]);
            if (b == kEndOfMessage) {
                p = static_cast<int>(pos) + 1;
                break;
            }
            if (b & 0x80) {
                step.kind = RxStep::Incomplete;
                step.count = static_cast<int>(pos);
                buffer.remove(0, pos);
                return step;
            }
        }
    }
    if (p == 0) {
        step.kind = RxStep::Waiting;
        if (seen) *seen = buffer.size();
        return step;
    }
    step.kind = RxStep::Frame;
    step.frame = buffer.left(p);
    buffer.remove(0, p);
    return step;
}

}  // namespace tarvo
