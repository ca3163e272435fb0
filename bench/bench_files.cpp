// Times the file work of a start and of the settings dialogs: LoadSettings
// and SaveSettings of a full WREN.INI, and LoadRouterTables over 96 RTR files.
#include "config/settings.h"
#include "router/router_file.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include "bench_timing.h"

using namespace marlin;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("WREN.INI"));

    Settings settings;
    LoadSettings(ini, settings);
    for (int i = 1; i <= kPortCount; ++i)
        settings.ComPorts[i].ComDescription = QStringLiteral("Studio %1 router line").arg(i);
    SaveSettings(ini, settings);

    report("LoadSettings (full file)", 30, [&] { LoadSettings(ini, settings); });
    report("SaveSettings (full file)", 30, [&] { SaveSettings(ini, settings); });

    auto tables = std::make_unique<RouterTableArray>();
    for (int r = 1; r <= kRouterCount; ++r) {
        CreateDefaultRouterTable((*tables)[r], r);
        for (int n = 1; n <= kPointCount; ++n) {
            (*tables)[r].SourceVisible[n] = true;
            (*tables)[r].DestVisible[n] = true;
        }
        SaveRouterTable(dir.path(), r, (*tables)[r]);
    }
    report("LoadRouterTables (96 files)", 20, [&] { LoadRouterTables(dir.path(), *tables); });
    report("SaveRouterTable x 96", 10, [&] {
        for (int r = 1; r <= kRouterCount; ++r)
            SaveRouterTable(dir.path(), r, (*tables)[r]);
    });
    return 0;
}
