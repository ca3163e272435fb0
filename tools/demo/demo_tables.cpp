// Writes router tables for a demonstration folder: a router whose labels
// are the names a framed-dialect router uses for its crosspoints (I00, I01,
// ... and O00, O01, ...), so its reports can be matched.
#include "router/router_file.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: marlin-demo-tables <application folder> <router number>\n");
        return 2;
    }
    bool ok = false;
    const int router = args[2].toInt(&ok);
    if (!ok || !marlin::isRouterNumber(router)) {
        std::fprintf(stderr, "marlin-demo-tables: router number must be 1..96\n");
        return 2;
    }
    marlin::RouterTable table;
    marlin::CreateDefaultRouterTable(table, router);
    table.Name = QStringLiteral("Framed_%1").arg(router);
    for (int n = 1; n <= marlin::kPointCount; ++n) {
        table.SourceLabel[n] = QStringLiteral("I0%1").arg(n - 1);
        table.DestLabel[n] = QStringLiteral("O0%1").arg(n - 1);
    }
    if (!marlin::SaveRouterTable(args[1], router, table)) {
        std::fprintf(stderr, "marlin-demo-tables: cannot write %s\n", qPrintable(marlin::RouterTablePath(args[1], router)));
        return 1;
    }
    return 0;
}
