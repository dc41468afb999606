#include "uploads/system_change.h"

#include "logs/logs.h"
#include "uploads/alphas_file.h"
#include "uploads/buttons_file.h"
#include "uploads/byte_reader.h"
#include "uploads/config_common.h"
#include "uploads/console_file.h"
#include "uploads/display_lists_file.h"
#include "uploads/inhibits_file.h"
#include "uploads/module_file.h"
#include "uploads/relay_file.h"
#include "uploads/salvos_file.h"
#include "uploads/uploads.h"
#include "store/automation_event.h"
#include "switcher/links.h"

namespace tarvo {

namespace {
const QString kErrorReadingFile = QStringLiteral("Error Reading File");
const QString kErrorProcessingSystemChange = QStringLiteral("Error Processing System Change");
}  // namespace

bool CheckConfigFile(Logs& logs, const QString& appFolder, const AutomationEvent& ev) {
    return Guarded(logs, kErrorReadingFile, false, [&] {
        // Only the type word is read. Asking the length of a name that is not a file fails;
        // that is the report an operator sees for a mistyped or missing file.
        const QByteArray head = ReadConfigFile(appFolder, ev.FileName, 2);
        if (head.isEmpty()) return false;
        if (head.size() < 2) failPastEnd();
        return WordAt(head, 0) == RequiredTypeWord(ev.FileType);
    });
}

namespace {

// Whether the reader of the file's kind takes it; a failure of the reader says why not.
bool readerTakes(const QByteArray& data, int fileType) {
    switch (fileType) {
        case kFileInputAlphas:
            return ReadAlphasFile(data, kInputKind).has_value();
        case kFileOutputAlphas:
            return ReadAlphasFile(data, kOutputKind).has_value();
        case kFileOptoAlphas:
            return ReadAlphasFile(data, kOptoKind).has_value();
        case kFileRelayAlphas:
            return ReadAlphasFile(data, kRelayKind).has_value();
        case kFileInhibits:
            return ReadInhibitsFile(data).has_value();
        case kFileSalvos:
            return ReadSalvosFile(data).has_value();
        case kFileButtons:
            ReadButtonsFile(data);
            return true;
        case kFileInputDisplayLists:
        case kFileOutputDisplayLists:
            ReadDisplayListsFile(data);
            return true;
        case kFileRelayConfig:
            ReadRelayFile(data);
            return true;
        case kFileModuleConfig:
            ReadModuleFile(data);
            return true;
        case kFileConsoleConfig:
            return ReadConsoleFile(data).has_value();
        default:
            return false;
    }
}

}  // namespace

std::optional<QString> ConfigFileProblem(const QString& appFolder, const AutomationEvent& ev) {
    if (ev.FileType < kFileInputAlphas || ev.FileType > kFileConsoleConfig)
        return QStringLiteral("FileType %1 loads nothing").arg(ev.FileType);
    try {
        const QByteArray data = ReadConfigFile(appFolder, ev.FileName);
        if (data.isEmpty()) return QStringLiteral("%1 is empty").arg(ev.FileName);
        if (data.size() < 2) failPastEnd();
        const int word = WordAt(data, 0);
        if (word != RequiredTypeWord(ev.FileType))
            return QStringLiteral("%1 starts with type word %2, not %3")
                .arg(ev.FileName)
                .arg(word)
                .arg(RequiredTypeWord(ev.FileType));
        if (!readerTakes(data, ev.FileType))
            return QStringLiteral("%1 is refused by its reader").arg(ev.FileName);
    } catch (const TarvoError& failure) {
        return QStringLiteral("%1: %2").arg(ev.FileName, failure.description());
    }
    return std::nullopt;
}

Task<SendResult> ProcessSystemChange(Switcher& sw, QString appFolder,
                                     const AutomationEvent& event) {
    const AutomationEvent ev = event;
    if (!CheckConfigFile(sw.logs, appFolder, ev)) co_return SendResult::Refused;
    SendResult done = SendResult::Refused;
    try {
        const QString& name = ev.FileName;
        switch (ev.FileType) {
            case kFileInputAlphas:
                done = co_await SendNewAlphas(sw, appFolder, kInputKind, name);
                break;
            case kFileOutputAlphas:
                done = co_await SendNewAlphas(sw, appFolder, kOutputKind, name);
                break;
            case kFileOptoAlphas:
                done = co_await SendNewAlphas(sw, appFolder, kOptoKind, name);
                break;
            case kFileRelayAlphas:
                done = co_await SendNewAlphas(sw, appFolder, kRelayKind, name);
                break;
            case kFileInhibits:
                done = co_await SendNewInhibits(sw, appFolder, name, ev.FileChannel1);
                break;
            case kFileSalvos:
                done = co_await SendSalvos(sw, appFolder, name);
                break;
            case kFileButtons:
                done = co_await SendButtons(sw, appFolder, name, ev.Template);
                break;
            case kFileInputDisplayLists:
                done = co_await SendDisplayLists(sw, appFolder, kInputKind, name);
                break;
            case kFileOutputDisplayLists:
                done = co_await SendDisplayLists(sw, appFolder, kOutputKind, name);
                break;
            case kFileRelayConfig:
                done = co_await SendRelayConfiguration(sw, appFolder, name);
                break;
            case kFileModuleConfig:
                done = co_await SendModuleConfiguration(sw, appFolder, name, ev.FFrame, ev.FSlot);
                break;
            case kFileConsoleConfig:
                done = co_await SendConsoleConfiguration(sw, appFolder, name, to16(static_cast<long long>(ev.Template) - 1));
                break;
            default:
                break;
        }
    } catch (...) {
        ReportError(sw.logs, kErrorProcessingSystemChange, CurrentFailure(std::current_exception()));
        done = SendResult::Refused;
    }
    co_return done;
}

}  // namespace tarvo
