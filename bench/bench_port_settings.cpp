// Times "Apply and Save" of the two port settings windows: the engine step
// alone (checks, test-open, WREN.INI written, every comm port re-opened) and
// the window around it (built, shown, applied), with four comm ports open on
// pseudo-terminals and four network ports enabled, offscreen.
#include "core/port_settings.h"
#include "core/server.h"
#include "ui/main_window.h"
#include "ui/settings/com_port_dialog.h"
#include "ui/settings/net_port_dialog.h"

#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>

#include <cstdio>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "bench_timing.h"
#include "offscreen_bench.h"

using namespace marlin;

int main(int argc, char *argv[])
{
    useQuietOffscreenPlatform();
    QApplication app(argc, argv);
    QTemporaryDir dir;
    std::vector<int> fds;
    QByteArray ini = "[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n";
    for (int n = 1; n <= 4; ++n) {
        int master = -1;
        int slave = -1;
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return 1;
        fds.push_back(master);
        fds.push_back(slave);
        QFile::link(QString::fromLocal8Bit(name), dir.filePath(QStringLiteral("COM%1").arg(n)));
        ini += "[Com_Port_" + QByteArray::number(n) + "]\r\nPort_Enable=1\r\nPort_Description=Studio line\r\n";
        ini += "[Net_Port_" + QByteArray::number(n) + "]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\n"
               "Network_Port=9\r\nNetwork_Port_Type=1\r\n";
    }
    QFile file(dir.filePath(QStringLiteral("WREN.INI")));
    if (!file.open(QIODevice::WriteOnly) || file.write(ini) != ini.size())
        return 1;
    file.close();

    Server server(dir.path());
    MDIMain window(server);
    window.show();
    server.Start();
    server.logIn(1); // the built-in Administrator: an Apply needs the privilege

    int round = 0;
    report("Apply of the comm ports (engine)", 20, [&] {
        ComPortTable ports = server.currentSettings().ComPorts;
        ports[1].ComDescription = QStringLiteral("Studio line %1").arg(++round);
        server.apply(ComPortsEdit{ports});
    });
    report("Apply of the network ports (engine)", 20, [&] {
        NetPortEdits edits = netPortEdits(server.currentSettings());
        edits.ports[1].NetDescription = QStringLiteral("Rack %1").arg(++round);
        server.apply(NetPortsEdit{edits});
    });
    report("Communication Port Settings: open, Apply and Save", 10, [&] {
        frmSetPorts *dialog = window.openComPortSettings();
        QApplication::processEvents();
        dialog->cmdOK->click();
        QApplication::processEvents();
    });
    report("Network Device Settings: open, Apply and Save", 10, [&] {
        frmSetNetPorts *dialog = window.openNetPortSettings();
        QApplication::processEvents();
        dialog->cmdOK->click();
        QApplication::processEvents();
    });
    for (const int fd : fds)
        ::close(fd);
    return 0;
}
