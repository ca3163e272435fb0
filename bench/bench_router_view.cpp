// Times the overall router view at 1600x900 on the offscreen platform: one
// refresh of its model (what every burst of crosspoint changes costs), and a
// refresh followed by the repaint of the visible cells after a change on
// every destination of all 96 routers.
#include "core/server.h"
#include "ui/router_view.h"

#include <QApplication>
#include <QTableView>
#include <QTemporaryDir>

#include "bench_timing.h"
#include "offscreen_bench.h"

#include <random>

using namespace marlin;

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    // The routers' reports, stood in for: the burst writes the state a
    // stream of reports would leave.
    struct BenchServer : Server {
        using Server::Server;
        RouterTableArray &tables() { return RouterTables; }
        RouterStateArray &states() { return RouterStates; }
    };
    BenchServer server(dir.path());
    noCards(dir.path());
    server.Start();

    frmRtrView view(server, nullptr, nullptr);
    view.resize(1600, 900);
    view.show();
    QApplication::processEvents();

    std::mt19937 random(7);
    const auto burst = [&] {
        for (int r = 1; r <= kRouterCount; ++r) {
            for (int d = 1; d <= kPointCount; ++d) {
                server.tables()[r].DestVisible[d] = true;
                server.states()[r].CurrentSource[d] = int(random() % 256) + 1;
                server.states()[r].HighPriority[d] = random() % 16 == 0;
            }
        }
    };
    for (const auto mode : {RouterViewModel::IconMode::None, RouterViewModel::IconMode::Sources}) {
        view.setIconMode(mode);
        QApplication::processEvents();
        const bool icons = mode != RouterViewModel::IconMode::None;
        report(icons ? "model refresh (icon rows)" : "model refresh (plain rows)", 200, [&] {
            view.model()->refresh();
        });
        QApplication::processEvents();
        report(icons ? "burst on 96 routers, refresh + repaint (icon rows)"
                     : "burst on 96 routers, refresh + repaint (plain rows)",
               30, [&] {
                   burst();
                   view.RefreshRouterView();
                   view.grid()->viewport()->repaint();
               });
    }
    return 0;
}
