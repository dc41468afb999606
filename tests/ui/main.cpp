// The window's tests run inside a widget application, on Qt's offscreen platform.
#include <gtest/gtest.h>
#include <QApplication>

namespace {

// The offscreen platform says so whenever a window asks for what it cannot do (raise, size
// hints); that is expected here and would only bury the test output.
QtMessageHandler defaultHandler = nullptr;

void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QLatin1String("This plugin does not support"))) return;
    defaultHandler(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
    // The offscreen platform unless told otherwise, so the test list can be read without a
    // display as well.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    defaultHandler = qInstallMessageHandler(quietHandler);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
