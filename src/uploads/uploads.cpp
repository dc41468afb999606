#include "uploads/uploads.h"

#include <QFile>
#include <QFileInfo>

#include "engine/engine.h"
#include "logs/logs.h"
#include "scheduler/time_arith.h"
#include "switcher/framing.h"
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

// Sends the frames of one upload with `waitMs` between each two.
void sendAll(Engine& e, const std::vector<QByteArray>& frames, int waitMs) {
    for (size_t k = 0; k < frames.size(); ++k) {
        if (k > 0) ProcessWait(e, waitMs);
        SendToSwitcher(e, frames[k]);
    }
}

}  // namespace

QString ConfigFilePath(const Engine& e, const QString& fileName) {
    if (!fileName.isEmpty() && QFileInfo(fileName).isAbsolute()) return fileName;
    return e.AppFolder + fileName;
}

QByteArray ReadConfigFile(const Engine& e, const QString& fileName) {
    const QString path = ConfigFilePath(e, fileName);
    if (!QFileInfo(path).isFile()) fail(kErrFileNotFound, QStringLiteral("File not found"));
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) fail(kErrPermission, QStringLiteral("Permission denied"));
    const QByteArray data = f.readAll();
    if (f.error() != QFileDevice::NoError) fail(kErrFileIo, QStringLiteral("Device I/O error"));
    return data;
}

bool SendNewAlphas(Engine& e, int kind, const QString& fileName) {
    return Guarded(e, kErrorSendingNewAlphas, false, [&] {
        const QString text = alphasChangedText(kind);
        const auto file = ReadAlphasFile(ReadConfigFile(e, fileName), kind);
        if (!file) return false;
        SendToSwitcher(e, BuildAlphasFrame(*file, kind));
        WriteActivityLog(e, text);
        return true;
    });
}

bool SendNewInhibits(Engine& e, const QString& fileName, int channel) {
    return Guarded(e, kErrorSendingNewInhibits, false, [&] {
        const auto file = ReadInhibitsFile(ReadConfigFile(e, fileName));
        if (!file) return false;
        SendToSwitcher(e, BuildInhibitsFrame(*file, channel));
        QString text = QStringLiteral("Inhibits Changed: ");
        if (InhibitsSingleRow(channel)) {
            text += QStringLiteral("Out ") + fourDigits(channel) + QStringLiteral(" - ");
            // The switcher applies a single row before the line says it is done.
            ProcessWait(e, kInhibitsRowWait);
        }
        WriteActivityLog(e, text + fileName);
        return true;
    });
}

bool SendDisplayLists(Engine& e, int kind, const QString& fileName) {
    return Guarded(e, kErrorSendingDisplayLists, false, [&] {
        if (kind != kInputKind && kind != kOutputKind) return false;
        const DisplayListsFile file = ReadDisplayListsFile(ReadConfigFile(e, fileName));
        SendToSwitcher(e, BuildDisplayListsFrame(file, kind));
        WriteActivityLog(e, kind == kInputKind ? QStringLiteral("Input Display Lists Changed")
                                               : QStringLiteral("Output Display Lists Changed"));
        return true;
    });
}

bool SendButtons(Engine& e, const QString& fileName, int templateNumber) {
    // The result is decided inside the handler; only the two-template form runs outside it, as a
    // procedure with a handler of its own.
    enum class Next { Fail, Done, TwoTemplates };
    const Next next = Guarded(e, kErrorSendingButtons, Next::Fail, [&] {
        const ButtonsFile file = ReadButtonsFile(ReadConfigFile(e, fileName));
        if (file.twoTemplates()) return Next::TwoTemplates;
        // A file of several templates replaces them all: one template number cannot say where.
        if (templateNumber != 0) {
            ReportError(e, kErrorInvalidTemplateCount,
                        TarvoError(kErrInvalidCall,
                                   QStringLiteral("Template %1 given for a file of %2 templates")
                                       .arg(templateNumber)
                                       .arg(file.templateCount)));
            return Next::Fail;
        }
        sendAll(e, BuildButtonBlockFrames(file), kButtonsWait);
        WriteActivityLog(e, kButtonsChanged);
        return Next::Done;
    });
    if (next == Next::TwoTemplates) return SendButtonTemplates(e, fileName, templateNumber);
    return next == Next::Done;
}

bool SendButtonTemplates(Engine& e, const QString& fileName, int templateNumber) {
    return Guarded(e, kErrorSendingButtons, false, [&] {
        const ButtonsFile file = ReadButtonsFile(ReadConfigFile(e, fileName));
        sendAll(e, BuildButtonTemplateFrames(file, templateNumber), kButtonsWait);
        WriteActivityLog(e, kButtonsChanged);
        return true;
    });
}

bool SendSalvos(Engine& e, const QString& fileName) {
    return Guarded(e, kErrorSendingSalvoAlphas, false, [&] {
        auto file = ReadSalvosFile(ReadConfigFile(e, fileName));
        if (!file) return false;
        SortSalvosByName(*file);
        const QByteArray names = BuildSalvoNamesFrame(*file);
        // The steps are built before the names go out: names without their steps would leave
        // the switcher with a salvo table that matches neither the old file nor the new one.
        const auto steps = Guarded(e, kErrorSendingSalvoEvents, std::optional<QByteArray>(),
                                   [&] { return BuildSalvoEventsFrame(*file); });
        if (!steps) fail(kErrBadData, QStringLiteral("Salvo contents not sent"));
        SendToSwitcher(e, names);
        SendToSwitcher(e, *steps);
        WriteActivityLog(e, kSalvosChanged);
        return true;
    });
}

bool SendRelayConfiguration(Engine& e, const QString& fileName) {
    return Guarded(e, kErrorSendingRelayConfiguration, false, [&] {
        const RelayFile file = ReadRelayFile(ReadConfigFile(e, fileName));
        SendToSwitcher(e, BuildRelayConfigurationFrame(file));
        return true;
    });
}

bool SendModuleConfiguration(Engine& e, const QString& fileName, const AutomationEvent& ev) {
    return Guarded(e, kErrorSendingModuleConfiguration, false, [&] {
        const ModuleFile file = ReadModuleFile(ReadConfigFile(e, fileName));
        sendAll(e, BuildModuleFrames(file, ev.FFrame, ev.FSlot), kModuleWait);
        return true;
    });
}

bool SendConsoleConfiguration(Engine& e, const QString& fileName, int console) {
    return Guarded(e, kErrorSendingConsoleConfiguration, false, [&] {
        const auto file = ReadConsoleFile(ReadConfigFile(e, fileName));
        if (!file) return false;
        SendToSwitcher(e, BuildConsoleFrame(*file, console));
        return true;
    });
}

void SendRelayAssociation(Engine& e, const AutomationEvent& ev) {
    Guarded(e, kErrorSendingRelayConfiguration, [&] {
        const int relay = to16(static_cast<long long>(ev.rcRelay) - 1);
        const int opto = to16(static_cast<long long>(ev.rcOpto) - 1);
        SendToSwitcher(e, BuildRelayAssociationFrame(relay, opto));
        WriteActivityLog(e, QStringLiteral("Associate Relay ") + fourDigits(ev.rcRelay) +
                                QStringLiteral(" with Opto ") + fourDigits(ev.rcOpto));
    });
}

}  // namespace tarvo
