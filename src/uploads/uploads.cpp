#include "uploads/uploads.h"

#include <QFile>
#include <QFileInfo>

#include "base/wait.h"
#include "logs/logs.h"
#include "store/automation_event.h"
#include "store/plain_file.h"
#include "switcher/codec.h"
#include "switcher/framing.h"
#include "switcher/links.h"
#include "uploads/alphas_file.h"
#include "uploads/buttons_file.h"
#include "uploads/config_common.h"
#include "uploads/console_file.h"
#include "uploads/display_lists_file.h"
#include "uploads/inhibits_file.h"
#include "uploads/module_file.h"
#include "uploads/relay_file.h"
#include "uploads/salvos_file.h"
#include "uploads/system_change.h"

namespace tarvo {

namespace {

const QString kErrorSendingNewAlphas = QStringLiteral("Error Sending New Alphas");
const QString kErrorSendingNewInhibits = QStringLiteral("Error Sending New Inhibits");
const QString kErrorSendingDisplayLists = QStringLiteral("Error Sending Display Lists");
const QString kErrorSendingButtons = QStringLiteral("Error Sending Buttons");
const QString kErrorInvalidTemplateCount = QStringLiteral("Error Sndng Btns - Invalid Tmplt Cnt");
const QString kErrorSendingSalvoAlphas = QStringLiteral("Error Sending Salvo Alphas");
const QString kErrorSendingSalvoEvents = QStringLiteral("Error Sending Salvo Events");
const QString kErrorSendingRelayConfiguration = QStringLiteral("Error Sending Relay Configuration");
const QString kErrorSendingModuleConfiguration =
    QStringLiteral("Error Sending Module Configuration");
const QString kErrorSendingConsoleConfiguration =
    QStringLiteral("Error Sending Console Configuration");

const QString kButtonsChanged = QStringLiteral("Buttons Changed");
const QString kSalvosChanged = QStringLiteral("Salvos Changed");

constexpr int kInhibitsRowWait = 200;
constexpr int kButtonsWait = 1000;
constexpr int kModuleWait = 500;

QString alphasChangedText(int kind) {
    switch (kind) {
        case kInputKind:
            return QStringLiteral("Input Alphas Changed");
        case kOutputKind:
            return QStringLiteral("Output Alphas Changed");
        case kOptoKind:
            return QStringLiteral("Opto Alphas Changed");
        case kRelayKind:
            return QStringLiteral("Relay Alphas Changed");
        default:
            fail(kErrInvalidCall, QStringLiteral("Invalid procedure call or argument"));
    }
}

QString fourDigits(int v) {
    return QString::number(v).rightJustified(4, QLatin1Char('0'));
}

// Sends the frames of one upload with `waitMs` between each two: Sent when the master's switcher
// took every frame.
Task<SendResult> sendAll(Switcher& sw, std::vector<QByteArray> frames, int waitMs) {
    SendResult result = SendResult::Sent;
    for (size_t k = 0; k < frames.size(); ++k) {
        if (k > 0) co_await ProcessWait(sw.clock, waitMs);
        result = Worse(result, co_await SendToSwitcher(sw, frames[k]));
    }
    co_return result;
}

// Runs an upload's body under its location text: a failure is reported there and the upload
// counts as refused.
template <typename Body>
Task<SendResult> guardedUpload(Switcher& sw, QString location, Body body) {
    SendResult done = SendResult::Refused;
    try {
        done = co_await body();
    } catch (...) {
        ReportError(sw.logs, location, CurrentFailure(std::current_exception()));
        done = SendResult::Refused;
    }
    co_return done;
}

}  // namespace

QString ConfigFilePath(const QString& appFolder, const QString& fileName) {
    if (!fileName.isEmpty() && QFileInfo(fileName).isAbsolute()) return fileName;
    return appFolder + fileName;
}

QByteArray ReadConfigFile(const QString& appFolder, const QString& fileName, qint64 limit) {
    PlainFile f = ReadPlainFile(ConfigFilePath(appFolder, fileName), limit, kMaxConfigFileSize);
    switch (f.status) {
        case PlainFile::Read:
            break;
        case PlainFile::Missing:
        case PlainFile::NotPlain:
            fail(kErrFileNotFound, QStringLiteral("File not found"));
        case PlainFile::NoAccess:
            fail(kErrPermission, QStringLiteral("Permission denied"));
        case PlainFile::Failed:
            fail(kErrFileIo, QStringLiteral("Device I/O error"));
        case PlainFile::TooLarge:
            fail(kErrFileIo, QStringLiteral("File of %1 bytes refused: larger than the %2 bytes a configuration file may have")
                                 .arg(f.size)
                                 .arg(kMaxConfigFileSize));
    }
    return std::move(f.bytes);
}

Task<SendResult> SendNewAlphas(Switcher& sw, QString appFolder, int kind, QString fileName) {
    return guardedUpload(sw, kErrorSendingNewAlphas, [=, &sw]() -> Task<SendResult> {
        const QString text = alphasChangedText(kind);
        const auto file = ReadAlphasFile(ReadConfigFile(appFolder, fileName), kind);
        if (!file) co_return SendResult::Refused;
        const SendResult sent = co_await SendToSwitcher(sw, BuildAlphasFrame(*file, kind));
        if (sent == SendResult::Sent) WriteActivityLog(sw.logs, text);
        co_return sent;
    });
}

Task<SendResult> SendNewInhibits(Switcher& sw, QString appFolder, QString fileName, int channel) {
    return guardedUpload(sw, kErrorSendingNewInhibits, [=, &sw]() -> Task<SendResult> {
        const auto file = ReadInhibitsFile(ReadConfigFile(appFolder, fileName));
        if (!file) co_return SendResult::Refused;
        const SendResult sent = co_await SendToSwitcher(sw, BuildInhibitsFrame(*file, channel));
        QString text = QStringLiteral("Inhibits Changed: ");
        if (InhibitsSingleRow(channel)) {
            text += QStringLiteral("Out ") + fourDigits(channel) + QStringLiteral(" - ");
            // The switcher applies a single row before the line says it is done.
            co_await ProcessWait(sw.clock, kInhibitsRowWait);
        }
        if (sent == SendResult::Sent) WriteActivityLog(sw.logs, text + fileName);
        co_return sent;
    });
}

Task<SendResult> SendDisplayLists(Switcher& sw, QString appFolder, int kind, QString fileName) {
    return guardedUpload(sw, kErrorSendingDisplayLists, [=, &sw]() -> Task<SendResult> {
        if (kind != kInputKind && kind != kOutputKind) co_return SendResult::Refused;
        const DisplayListsFile file = ReadDisplayListsFile(ReadConfigFile(appFolder, fileName));
        const SendResult sent = co_await SendToSwitcher(sw, BuildDisplayListsFrame(file, kind));
        if (sent == SendResult::Sent)
            WriteActivityLog(sw.logs, kind == kInputKind ? QStringLiteral("Input Display Lists Changed")
                                                         : QStringLiteral("Output Display Lists Changed"));
        co_return sent;
    });
}

Task<SendResult> SendButtons(Switcher& sw, QString appFolder, QString fileName,
                             int templateNumber) {
    // The result is decided inside the handler; only the two-template form runs outside it, as a
    // procedure with a handler of its own.
    enum class Next { Fail, Done, TwoTemplates };
    Next next = Next::Fail;
    SendResult sent = SendResult::Refused;
    try {
        const ButtonsFile file = ReadButtonsFile(ReadConfigFile(appFolder, fileName));
        if (file.twoTemplates()) {
            next = Next::TwoTemplates;
        } else if (templateNumber != 0) {
            // A file of several templates replaces them all: one template number cannot say where.
            ReportError(sw.logs, kErrorInvalidTemplateCount,
                        TarvoError(kErrInvalidCall, QStringLiteral("Template %1 given for a file of %2 templates")
                                                        .arg(templateNumber)
                                                        .arg(file.templateCount)));
        } else {
            sent = co_await sendAll(sw, BuildButtonBlockFrames(file), kButtonsWait);
            if (sent == SendResult::Sent) WriteActivityLog(sw.logs, kButtonsChanged);
            next = Next::Done;
        }
    } catch (...) {
        ReportError(sw.logs, kErrorSendingButtons, CurrentFailure(std::current_exception()));
        next = Next::Fail;
    }
    if (next == Next::TwoTemplates) co_return co_await SendButtonTemplates(sw, appFolder, fileName, templateNumber);
    co_return next == Next::Done ? sent : SendResult::Refused;
}

Task<SendResult> SendButtonTemplates(Switcher& sw, QString appFolder, QString fileName,
                                     int templateNumber) {
    return guardedUpload(sw, kErrorSendingButtons, [=, &sw]() -> Task<SendResult> {
        const ButtonsFile file = ReadButtonsFile(ReadConfigFile(appFolder, fileName));
        const SendResult sent =
            co_await sendAll(sw, BuildButtonTemplateFrames(file, templateNumber), kButtonsWait);
        if (sent == SendResult::Sent) WriteActivityLog(sw.logs, kButtonsChanged);
        co_return sent;
    });
}

Task<SendResult> SendSalvos(Switcher& sw, QString appFolder, QString fileName) {
    return guardedUpload(sw, kErrorSendingSalvoAlphas, [=, &sw]() -> Task<SendResult> {
        auto file = ReadSalvosFile(ReadConfigFile(appFolder, fileName));
        if (!file) co_return SendResult::Refused;
        SortSalvosByName(*file);
        const QByteArray names = BuildSalvoNamesFrame(*file);
        // The steps are built before the names go out: names without their steps would leave
        // the switcher with a salvo table that matches neither the old file nor the new one.
        const auto steps = Guarded(sw.logs, kErrorSendingSalvoEvents, std::optional<QByteArray>(),
                                   [&] { return BuildSalvoEventsFrame(*file); });
        if (!steps) fail(kErrBadData, QStringLiteral("Salvo contents not sent"));
        SendResult sent = co_await SendToSwitcher(sw, names);
        sent = Worse(sent, co_await SendToSwitcher(sw, *steps));
        if (sent == SendResult::Sent) WriteActivityLog(sw.logs, kSalvosChanged);
        co_return sent;
    });
}

Task<SendResult> SendRelayConfiguration(Switcher& sw, QString appFolder, QString fileName) {
    return guardedUpload(sw, kErrorSendingRelayConfiguration, [=, &sw]() -> Task<SendResult> {
        const RelayFile file = ReadRelayFile(ReadConfigFile(appFolder, fileName));
        co_return co_await SendToSwitcher(sw, BuildRelayConfigurationFrame(file));
    });
}

Task<SendResult> SendModuleConfiguration(Switcher& sw, QString appFolder, QString fileName,
                                         int frame, int slot) {
    return guardedUpload(sw, kErrorSendingModuleConfiguration, [=, &sw]() -> Task<SendResult> {
        const ModuleFile file = ReadModuleFile(ReadConfigFile(appFolder, fileName));
        co_return co_await sendAll(sw, BuildModuleFrames(file, frame, slot), kModuleWait);
    });
}

Task<SendResult> SendConsoleConfiguration(Switcher& sw, QString appFolder, QString fileName,
                                          int console) {
    return guardedUpload(sw, kErrorSendingConsoleConfiguration, [=, &sw]() -> Task<SendResult> {
        const auto file = ReadConsoleFile(ReadConfigFile(appFolder, fileName));
        if (!file) co_return SendResult::Refused;
        co_return co_await SendToSwitcher(sw, BuildConsoleFrame(*file, console));
    });
}

std::optional<OperandFault> RelayAssociationFault(const AutomationEvent& ev) {
    if (!Fits14(WireNumber(ev.rcRelay)))
        return OperandFault{kInvalidRelay, OutsideTheWire("relay", ev.rcRelay)};
    if (!Fits14(WireNumber(ev.rcOpto)))
        return OperandFault{kInvalidOpto, OutsideTheWire("opto", ev.rcOpto)};
    return std::nullopt;
}

Task<SendResult> SendRelayAssociation(Switcher& sw, const AutomationEvent& ev) {
    SendResult sent = SendResult::Failed;
    try {
        const QByteArray frame =
            BuildRelayAssociationFrame(WireNumber(ev.rcRelay), WireNumber(ev.rcOpto));
        sent = co_await SendToSwitcher(sw, frame);
        if (sent == SendResult::Sent)
            WriteActivityLog(sw.logs, QStringLiteral("Associate Relay ") + fourDigits(ev.rcRelay) +
                                          QStringLiteral(" with Opto ") + fourDigits(ev.rcOpto));
    } catch (...) {
        ReportError(sw.logs, kErrorSendingRelayConfiguration, CurrentFailure(std::current_exception()));
        sent = SendResult::Failed;
    }
    co_return sent;
}

}  // namespace tarvo
