// Times the settings windows on the offscreen platform over a real server in
// a temporary application folder: opening each window, and its "Apply and
// Save" (the router utility writes all 96 table files; the others write
// their settings file). For the router utility also the 640-number list:
// its popup opened and scrolled to the last number.
#include "core/server.h"
#include "ui/settings/general_dialog.h"
#include "ui/settings/router_dialog.h"
#include "ui/settings/user_dialog.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <QPushButton>
#include <QTemporaryDir>

#include "bench_timing.h"
#include "offscreen_bench.h"

using namespace marlin;

int main(int argc, char *argv[])
{
    useQuietOffscreenPlatform();
    QApplication app(argc, argv);
    QTemporaryDir dir;
    noCards(dir.path());
    Server server(dir.path());
    server.Start();
    server.logIn(1); // the built-in Administrator: an Apply needs the privilege
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 20;

    report("Router Configuration Utility: open", runs, [&] {
        auto *window = new frmSetRTR(server);
        window->show();
        QApplication::processEvents();
        window->close();
        QApplication::processEvents();
    });
    {
        auto *window = new frmSetRTR(server);
        window->show();
        QApplication::processEvents();
        report("Router Configuration Utility: 640-number list, open + scroll to 640", runs, [&] {
            window->cmbSRC->showPopup();
            window->cmbSRC->view()->scrollToBottom();
            QApplication::processEvents();
            window->cmbSRC->hidePopup();
            QApplication::processEvents();
        });
        window->close();
        QApplication::processEvents();
    }
    report("Router Configuration Utility: Apply and Save (96 files)", runs, [&] {
        auto *window = new frmSetRTR(server);
        window->txtRTRName->setText(QStringLiteral("Bench"));
        window->cmdOK->click();
        QApplication::processEvents();
    });
    report("General Settings: open + Apply And Save", runs, [&] {
        auto *window = new frmSetGen(server);
        window->cmdOK->click();
        QApplication::processEvents();
    });
    report("User Settings: open + Apply And Save", runs, [&] {
        auto *window = new frmSetUsers(server);
        window->cmdOK->click();
        QApplication::processEvents();
    });
    return 0;
}
