#include "core/server.h"
#include "core/single_instance.h"
#include "core/termination_signals.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

namespace {

// A rack machine has no display: run the same console on Qt's offscreen
// platform rather than refuse to start.
void chooseHeadlessPlatform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        std::fprintf(stderr, "marlin-server: no display found, running headless (offscreen platform)\n");
    }
}

bool headless() { return QGuiApplication::platformName() == QLatin1String("offscreen"); }

} // namespace

int main(int argc, char *argv[])
{
    chooseHeadlessPlatform();
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    const QString appDir = QCoreApplication::applicationDirPath();

    marlin::SingleInstance instance(appDir);
    if (!instance.tryLock()) {
        // Nobody could answer a message box on a headless server, and a
        // copy waiting for an answer must not linger.
        if (headless()) {
            std::fprintf(stderr, "%s\n", qPrintable(marlin::SingleInstance::alreadyRunningText()));
        } else {
            QMessageBox::information(nullptr, marlin::SingleInstance::alreadyRunningTitle(),
                                     marlin::SingleInstance::alreadyRunningText(), QMessageBox::Ok);
        }
        return EXIT_FAILURE;
    }

    marlin::Server server(appDir);
    server.logs.setTerminalEcho(true);
    server.logs.tellTerminal(QStringLiteral("application folder ") + appDir);
    server.logs.tellTerminal(QStringLiteral("logs in ") + server.logs.logFolder());
    marlin::MDIMain window(server);
    marlin::TerminationSignals termination;
    QObject::connect(&termination, &marlin::TerminationSignals::terminationRequested, &window,
                     &marlin::MDIMain::closeWithoutQuestions);
    window.show();
    server.Start();
    return app.exec();
}
