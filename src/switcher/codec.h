// The switcher wire format: type byte, 7-bit payload, checksum, 0xFF. Everything here is pure:
// bytes in, bytes or values out, no sockets and no engine state.
#pragma once

#include <cstdint>

#include <QByteArray>

namespace tarvo {

constexpr uint8_t kEndOfMessage = 0xFF;
constexpr uint8_t kPing = 0xF5;
constexpr uint8_t kPingAnswer = 0xF4;
constexpr uint8_t kSwitcherAbsent = 0xF1;
constexpr uint8_t kNoEffect = 0xF3;
// Framed message types: from the switcher, and the engine's replies to it.
constexpr uint8_t kIdentType = 0x81;  // identity request, and the engine's answer
constexpr uint8_t kTakeType = 0xFE;   // take report; to the switcher: crosspoint, relay, opto
constexpr uint8_t kMapType = 0xF6;    // crosspoint map
constexpr uint8_t kInfoType = 0xF2;   // info request from the engine, info reply
constexpr uint8_t kStateType = 0xF7;  // relay and opto states
constexpr int kMaxWriteChunk = 16384;
constexpr int kMax14Bit = 16383;

// Whether the wire's 14-bit numbers carry `v`: 0 .. 16383.
constexpr bool Fits14(long long v) {
    return v >= 0 && v <= kMax14Bit;
}
// Channels, salvos, relays and optos count from 1 in an event and from 0 on the wire.
constexpr int WireNumber(int counted) {
    return counted - 1;
}

// Sum of the bytes at positions 1 .. len-1-n, modulo 128 (the type byte is not counted).
uint8_t CheckSum(const QByteArray& frame, int n);

// True when a received frame's checksum (the byte before the end byte) is right.
bool FrameChecksumOk(const QByteArray& frame);

int Decode7BitPair(uint8_t lo, uint8_t hi);

// Reads the 14-bit number at pos, pos+1 of a frame; a position outside the frame is a failure.
int Read14(const QByteArray& frame, long long pos);
// Reads one byte of a frame with a range check.
uint8_t ReadByte(const QByteArray& frame, long long pos);

// 1-based position of the first 0xFF, 0 when there is none.
int FindEOM(const QByteArray& bytes);

// Builds one frame. Numbers that cannot be carried (a 14-bit number outside 0..16383, a payload
// byte above 127) are failures: nothing half-built ever reaches the wire.
class FrameBuilder {
public:
    explicit FrameBuilder(uint8_t type);
    FrameBuilder& byte(int v);            // one payload byte, 0..127
    FrameBuilder& num14(int v);           // two bytes, low group first
    FrameBuilder& mask28(long long m);    // four bytes, lowest group first
    FrameBuilder& bytes(const QByteArray& payload);  // raw 7-bit payload bytes
    // Appends the checksum and the end byte and returns the frame.
    QByteArray finish() const;
    // The frame built so far (type and payload, no checksum).
    const QByteArray& partial() const { return frame_; }

private:
    QByteArray frame_;
};

// One step of the receive-buffer consumer. The consumer works from the front of a link's
// buffer: it drops garbage (reporting it), waits for an incomplete frame, or cuts off one unit.
struct RxStep {
    enum Kind {
        Empty,       // nothing in the buffer
        Garbage,     // `count` bytes without a type byte were dropped: "Invalid Data n bytes"
        Incomplete,  // a frame of `type` (`count` bytes) was cut short by a new type byte and dropped
        Waiting,     // a frame has started but its end byte has not arrived
        Control,     // a single control byte (`type`) was cut off
        Frame,       // a whole frame (type to end byte) was cut off into `frame`
    };
    Kind kind = Empty;
    int count = 0;
    uint8_t type = 0;
    QByteArray frame;
};

bool IsControlByte(uint8_t b);

// Performs the next step on `buffer`, consuming from its front. `seen`, when given, carries from
// call to call how much of a frame that is still waiting has been looked at, so that a frame
// arriving in many pieces is looked through once, not once per piece; it must be reset to 0
// whenever the buffer is emptied other than by this function.
RxStep NextRxStep(QByteArray& buffer, qsizetype* seen = nullptr);

}  // namespace tarvo
