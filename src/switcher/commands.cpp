#include "switcher/commands.h"

#include "logs/logs.h"
#include "store/automation_event.h"
#include "switcher/codec.h"
#include "switcher/framing.h"
#include "switcher/links.h"

namespace tarvo {

namespace {

constexpr uint8_t kCommandType = kTakeType;  // commands share the take report's type
constexpr uint8_t kSalvoType = 0xEA;
constexpr uint8_t kGainType = 0xE3;
constexpr int kSalvoExecute = 100;
constexpr int kCommandBit = 0x400;
constexpr int kOptionBit = 0x2000;

struct Code {
    int code;
    const char* label;
};

// Indexed by the selector minus one.
constexpr Code kCrosspointCodes[] = {
    {4, "Send Take - In:"},
    {36, "Send Sum On - In:"},
    {32, "Send Sum Off - In:"},
    {5, "Send Priority Take - In:"},
    {37, "Send Priority Sum On - In:"},
    {33, "Send Priority Sum Off - In:"},
};
constexpr Code kRelayCodes[] = {
    {68, "Latch Relay #"}, {64, "Release Relay #"}, {72, "Momentary Relay #"}};
constexpr Code kOptoCodes[] = {{100, "Opto On #"}, {96, "Opto Off #"}};
constexpr Code kGainCodes[] = {{1, "Source Gain Change Chan. "},
                               {3, "Destination Gain Change Chan. "},
                               {22, "Pan Change Device ID "}};

template <std::size_t N>
const Code* codeFor(const Code (&table)[N], int selector) {
    if (selector < 1 || selector > static_cast<int>(N)) return nullptr;
    return &table[selector - 1];
}

// The numbers each command carries, as its frame holds them: what the builders send and the
// faults look at.
struct CrosspointWire {
    const Code* code;
    int command, source, dest;
};
CrosspointWire crosspointWire(const AutomationEvent& ev) {
    const Code* c = codeFor(kCrosspointCodes, ev.xcontrol);
    int command = 0;
    if (c) {
        command = c->code + kCommandBit;
        if ((ev.Option & 2) == 2) command += kOptionBit;
    }
    return {c, command, WireNumber(ev.SourceChan), WireNumber(ev.DestChan)};
}

// A pan change names a device id, which is sent as it stands; gains name a channel.
int gainChannel(const AutomationEvent& ev) {
    return ev.vcontrol == 3 ? ev.VChan : WireNumber(ev.VChan);
}

OperandFault noCommand(const QString& refusal, const char* selector, int value, const char* kind) {
    return {refusal, QStringLiteral("%1 %2 names no %3 command")
                         .arg(QLatin1String(selector))
                         .arg(value)
                         .arg(QLatin1String(kind))};
}

Task<SendResult> sendCommand(Switcher& sw, QString location, const AutomationEvent& ev,
                             std::optional<Command> (*build)(const AutomationEvent&)) {
    SendResult result = SendResult::Failed;
    try {
        const std::optional<Command> c = build(ev);
        if (!c) co_return SendResult::Refused;
        // Logged only once the master's link has taken it: a switcher that is not connected, or
        // one that stopped reading and had the frame dropped, never got the command.
        result = co_await SendToSwitcher(sw, c->frame);
        if (result == SendResult::Sent) WriteActivityLog(sw.logs, c->logText);
    } catch (...) {
        ReportError(sw.logs, location, CurrentFailure(std::current_exception()));
        result = SendResult::Failed;
    }
    co_return result;
}

}  // namespace

QString OutsideTheWire(const char* what, int n, bool countedFromOne) {
    const int first = countedFromOne ? 1 : 0;
    return QStringLiteral("%1 %2 is outside %3 to %4")
        .arg(QLatin1String(what))
        .arg(n)
        .arg(first)
        .arg(kMax14Bit + first);
}

std::optional<OperandFault> CrosspointFault(const AutomationEvent& ev) {
    const CrosspointWire w = crosspointWire(ev);
    if (!w.code) return noCommand(kInvalidCrosspoint, "xcontrol", ev.xcontrol, "crosspoint");
    if (!Fits14(w.source))
        return OperandFault{kInvalidCrosspoint, OutsideTheWire("source", ev.SourceChan)};
    if (!Fits14(w.dest))
        return OperandFault{kInvalidCrosspoint, OutsideTheWire("output", ev.DestChan)};
    return std::nullopt;
}

std::optional<OperandFault> SalvoFault(const AutomationEvent& ev) {
    if (!Fits14(WireNumber(ev.Salvo)))
        return OperandFault{kInvalidSalvo, OutsideTheWire("salvo", ev.Salvo)};
    return std::nullopt;
}

std::optional<OperandFault> RelayFault(const AutomationEvent& ev) {
    if (!codeFor(kRelayCodes, ev.rcontrol))
        return noCommand(kInvalidRelay, "rcontrol", ev.rcontrol, "relay");
    if (!Fits14(WireNumber(ev.Relay)))
        return OperandFault{kInvalidRelay, OutsideTheWire("relay", ev.Relay)};
    return std::nullopt;
}

std::optional<OperandFault> OptoFault(const AutomationEvent& ev) {
    if (!codeFor(kOptoCodes, ev.ocontrol))
        return noCommand(kInvalidOpto, "ocontrol", ev.ocontrol, "opto");
    if (!Fits14(WireNumber(ev.OptoOut)))
        return OperandFault{kInvalidOpto, OutsideTheWire("opto output", ev.OptoOut)};
    return std::nullopt;
}

std::optional<OperandFault> GainFault(const AutomationEvent& ev) {
    if (!codeFor(kGainCodes, ev.vcontrol))
        return noCommand(kInvalidGain, "vcontrol", ev.vcontrol, "gain");
    if (!Fits14(gainChannel(ev)))
        return OperandFault{kInvalidChannel, ev.vcontrol == 3
                                                 ? OutsideTheWire("device ID", ev.VChan, false)
                                                 : OutsideTheWire("channel", ev.VChan)};
    if (!Fits14(ev.Gain)) return OperandFault{kInvalidGain, OutsideTheWire("gain", ev.Gain, false)};
    return std::nullopt;
}

std::optional<OperandFault> SourceSelectFault(const AutomationEvent& ev) {
    if (!Fits14(WireNumber(ev.ssSource)))
        return OperandFault{kInvalidSource, OutsideTheWire("source", ev.ssSource)};
    if (!Fits14(ev.ssDeviceID))
        return OperandFault{kInvalidDeviceId, OutsideTheWire("device ID", ev.ssDeviceID, false)};
    return std::nullopt;
}

QString Digits4(long long v) {
    const QString digits = QString::number(v < 0 ? -v : v).rightJustified(4, QLatin1Char('0'));
    return v < 0 ? QStringLiteral("-") + digits : digits;
}

std::optional<Command> CrosspointCommand(const AutomationEvent& ev) {
    // Selectors the editing tool never writes send nothing rather than an undefined command.
    const CrosspointWire w = crosspointWire(ev);
    if (!w.code) return std::nullopt;
    Command out;
    out.frame = FrameBuilder(kCommandType).num14(w.command).num14(w.source).num14(w.dest).finish();
    out.logText = QLatin1String(w.code->label) + Digits4(ev.SourceChan) +
                  QStringLiteral("-->Out:") + Digits4(ev.DestChan);
    return out;
}

std::optional<Command> SalvoCommand(const AutomationEvent& ev) {
    Command out;
    out.frame = FrameBuilder(kSalvoType).byte(kSalvoExecute).num14(WireNumber(ev.Salvo)).finish();
    out.logText = QStringLiteral("Send Execute Salvo Number ") + QString::number(ev.Salvo);
    return out;
}

std::optional<Command> RelayCommand(const AutomationEvent& ev) {
    const Code* c = codeFor(kRelayCodes, ev.rcontrol);
    if (!c) return std::nullopt;
    Command out;
    out.frame =
        FrameBuilder(kCommandType).num14(c->code).num14(0).num14(WireNumber(ev.Relay)).finish();
    out.logText = QLatin1String(c->label) + Digits4(ev.Relay);
    return out;
}

std::optional<Command> OptoCommand(const AutomationEvent& ev) {
    const Code* c = codeFor(kOptoCodes, ev.ocontrol);
    if (!c) return std::nullopt;
    Command out;
    // The opto number sits where a crosspoint carries its source.
    out.frame =
        FrameBuilder(kCommandType).num14(c->code).num14(WireNumber(ev.OptoOut)).num14(0).finish();
    out.logText = QLatin1String(c->label) + Digits4(ev.OptoOut);
    return out;
}

std::optional<Command> GainCommand(const AutomationEvent& ev) {
    const Code* c = codeFor(kGainCodes, ev.vcontrol);
    if (!c) return std::nullopt;
    const int channel = gainChannel(ev);
    Command out;
    out.frame = FrameBuilder(kGainType)
                    .byte(2)
                    .byte(c->code)
                    .num14(1)
                    .num14(channel)
                    .num14(ev.Gain)
                    .finish();
    out.logText = QLatin1String(c->label) + Digits4(channel);
    return out;
}

Task<SendResult> SendCrosspointChange(Switcher& sw, const AutomationEvent& ev) {
    return sendCommand(sw, QStringLiteral("Error Sending Crosspoint Change"), ev, &CrosspointCommand);
}

Task<SendResult> SendSalvoExecute(Switcher& sw, const AutomationEvent& ev) {
    return sendCommand(sw, QStringLiteral("Error Sending Salvo Execute"), ev, &SalvoCommand);
}

Task<SendResult> SendRelayAction(Switcher& sw, const AutomationEvent& ev) {
    return sendCommand(sw, QStringLiteral("Error Sending Relay Action"), ev, &RelayCommand);
}

Task<SendResult> SendGainChange(Switcher& sw, const AutomationEvent& ev) {
    return sendCommand(sw, QStringLiteral("Error Sending Gain Message"), ev, &GainCommand);
}

Task<SendResult> SendOptoAction(Switcher& sw, const AutomationEvent& ev) {
    return sendCommand(sw, QStringLiteral("Error Sending Opto Action"), ev, &OptoCommand);
}

}  // namespace tarvo
