#include "uploads/system_change.h"

#include "logs/logs.h"
#include "uploads/byte_reader.h"
#include "uploads/config_common.h"
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

Task<bool> ProcessSystemChange(Switcher& sw, QString appFolder, const AutomationEvent& event) {
    const AutomationEvent ev = event;
    if (!CheckConfigFile(sw.logs, appFolder, ev)) co_return false;
    bool done = false;
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
        done = false;
    }
    co_return done;
}

}  // namespace tarvo
