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

Task<> sendCommand(Switcher& sw, QString location, const AutomationEvent& ev,
                   std::optional<Command> (*build)(const AutomationEvent&)) {
    try {
        const std::optional<Command> c = build(ev);
        if (!c) co_return;
        // Written whether or not a switcher is connected (sending does not report), but not for
        // a frame that a switcher which stopped reading made the engine drop.
        if (co_await SendToSwitcher(sw, c->frame)) WriteActivityLog(sw.logs, c->logText);
    } catch (...) {
        ReportError(sw.logs, location, CurrentFailure(std::current_exception()));
    }
}

}  // namespace

QString Digits4(long long v) {
    const QString digits = QString::number(v < 0 ? -v : v).rightJustified(4, QLatin1Char('0'));
    return v < 0 ? QStringLiteral("-") + digits : digits;
}

std::optional<Command> CrosspointCommand(const AutomationEvent& ev) {
    // Selectors the editing tool never writes send nothing rather than an undefined command.
    const Code* c = codeFor(kCrosspointCodes, ev.xcontrol);
    if (!c) return std::nullopt;
    int command = c->code + kCommandBit;
    if ((ev.Option & 2) == 2) command += kOptionBit;
    Command out;
    out.frame = FrameBuilder(kCommandType)
                    .num14(command)
                    .num14(ev.SourceChan - 1)
                    .num14(ev.DestChan - 1)
                    .finish();
    out.logText = QLatin1String(c->label) + Digits4(ev.SourceChan) + QStringLiteral("-->Out:") +
                  Digits4(ev.DestChan);
    return out;
}

std::optional<Command> SalvoCommand(const AutomationEvent& ev) {
    Command out;
    out.frame = FrameBuilder(kSalvoType).byte(kSalvoExecute).num14(ev.Salvo - 1).finish();
    out.logText = QStringLiteral("Send Execute Salvo Number ") + QString::number(ev.Salvo);
    return out;
}

std::optional<Command> RelayCommand(const AutomationEvent& ev) {
    const Code* c = codeFor(kRelayCodes, ev.rcontrol);
    if (!c) return std::nullopt;
    Command out;
    out.frame = FrameBuilder(kCommandType).num14(c->code).num14(0).num14(ev.Relay - 1).finish();
    out.logText = QLatin1String(c->label) + Digits4(ev.Relay);
    return out;
}

std::optional<Command> OptoCommand(const AutomationEvent& ev) {
    const Code* c = codeFor(kOptoCodes, ev.ocontrol);
    if (!c) return std::nullopt;
    Command out;
    // The opto number sits where a crosspoint carries its source.
    out.frame = FrameBuilder(kCommandType).num14(c->code).num14(ev.OptoOut - 1).num14(0).finish();
    out.logText = QLatin1String(c->label) + Digits4(ev.OptoOut);
    return out;
}

std::optional<Command> GainCommand(const AutomationEvent& ev) {
    const Code* c = codeFor(kGainCodes, ev.vcontrol);
    if (!c) return std::nullopt;
    // A pan change names a device id, which is sent as it stands; gains name a channel.
    const int channel = ev.vcontrol == 3 ? ev.VChan : ev.VChan - 1;
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

Task<> SendCrosspointChange(Switcher& sw, const AutomationEvent& ev) {
    return sendCommand(sw, QStringLiteral("Error Sending Crosspoint Change"), ev, &CrosspointCommand);
}

Task<> SendSalvoExecute(Switcher& sw, const AutomationEvent& ev) {
    return sendCommand(sw, QStringLiteral("Error Sending Salvo Execute"), ev, &SalvoCommand);
}

Task<> SendRelayAction(Switcher& sw, const AutomationEvent& ev) {
    return sendCommand(sw, QStringLiteral("Error Sending Relay Action"), ev, &RelayCommand);
}

Task<> SendGainChange(Switcher& sw, const AutomationEvent& ev) {
    return sendCommand(sw, QStringLiteral("Error Sending Gain Message"), ev, &GainCommand);
}

Task<> SendOptoAction(Switcher& sw, const AutomationEvent& ev) {
    return sendCommand(sw, QStringLiteral("Error Sending Opto Action"), ev, &OptoCommand);
}

}  // namespace tarvo
