#include "uploads/system_change.h"

#include <QFile>
#include <QFileInfo>

#include "engine/engine.h"
#include "logs/logs.h"
#include "uploads/byte_reader.h"
#include "uploads/config_common.h"
#include "uploads/uploads.h"

namespace tarvo {

namespace {
const QString kErrorReadingFile = QStringLiteral("Error Reading File");
const QString kErrorProcessingSystemChange = QStringLiteral("Error Processing System Change");
}  // namespace

bool CheckConfigFile(Engine& e, const AutomationEvent& ev) {
    return Guarded(e, kErrorReadingFile, false, [&] {
        const QFileInfo info(ConfigFilePath(e, ev.FileName));
        // Asking the length of a name that is not a file fails; that is the report an operator
        // sees for a mistyped or missing file.
        if (!info.isFile()) fail(kErrFileNotFound, QStringLiteral("File not found"));
        if (info.size() == 0) return false;
        QFile f(info.filePath());
        if (!f.open(QIODevice::ReadOnly)) fail(kErrPermission, QStringLiteral("Permission denied"));
        const QByteArray head = f.read(2);
        if (head.size() < 2) failPastEnd();
        return WordAt(head, 0) == RequiredTypeWord(ev.FileType);
    });
}

bool ProcessSystemChange(Engine& e, const AutomationEvent& ev) {
    if (!CheckConfigFile(e, ev)) return false;
    return Guarded(e, kErrorProcessingSystemChange, false, [&] {
        const QString& name = ev.FileName;
        switch (ev.FileType) {
            case kFileInputAlphas:
                return SendNewAlphas(e, kInputKind, name);
            case kFileOutputAlphas:
                return SendNewAlphas(e, kOutputKind, name);
            case kFileOptoAlphas:
                return SendNewAlphas(e, kOptoKind, name);
            case kFileRelayAlphas:
                return SendNewAlphas(e, kRelayKind, name);
            case kFileInhibits:
                return SendNewInhibits(e, name, ev.FileChannel1);
            case kFileSalvos:
                return SendSalvos(e, name);
            case kFileButtons:
                return SendButtons(e, name, ev.Template);
            case kFileInputDisplayLists:
                return SendDisplayLists(e, kInputKind, name);
            case kFileOutputDisplayLists:
                return SendDisplayLists(e, kOutputKind, name);
            case kFileRelayConfig:
                return SendRelayConfiguration(e, name);
            case kFileModuleConfig:
                return SendModuleConfiguration(e, name, ev);
            case kFileConsoleConfig:
                return SendConsoleConfiguration(e, name,
                                                to16(static_cast<long long>(ev.Template) - 1));
            default:
                return false;
        }
    });
}

}  // namespace tarvo
