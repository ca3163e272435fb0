#include "router_table.h"

#include <algorithm>

namespace marlin {

bool RouterTable::isUsable() const
{
    const auto visible = [](const PointArray<bool> &flags) {
        return std::any_of(flags.begin() + 1, flags.end(), [](bool v) { return v; });
    };
    return visible(SourceVisible) && visible(DestVisible);
}

void CreateDefaultRouterTable(RouterTable &t, int r)
{
    t.Name = QStringLiteral("Router_%1").arg(r);
    for (int n = 1; n <= kPointCount; ++n) {
        const QString num = QString::number(n);
        const bool visible = n <= 32;
        t.SourceVisible[n] = visible;
        t.SourcePhysical[n] = qint16(n);
        t.SourceLabel[n] = QStringLiteral("IN_") + num;
        t.SourceDescription[n] = QStringLiteral("Input_") + num;
        t.SourceIcon[n].clear();
        t.SourceHyperLink[n].clear();
        for (int level = 1; level <= kLevelCount; ++level)
            t.SourceLevel[n][level] = true;
        t.DestVisible[n] = visible;
        t.DestPhysical[n] = qint16(n);
        t.DestLabel[n] = QStringLiteral("OUT_") + num;
        t.DestDescription[n] = QStringLiteral("Output_") + num;
        t.DestIcon[n].clear();
        t.DestHyperLink[n].clear();
        t.DestDefaultSource[n] = 1;
    }
}

int FindLabel(const RouterTable &t, const QString &label, bool isDestination)
{
    const auto &labels = isDestination ? t.DestLabel : t.SourceLabel;
    for (int n = 1; n <= kPointCount; ++n) {
        if (labels[n] == label)
            return n;
    }
    return 0;
}

int DestinationColor(const RouterTable &table, const RouterState &state, int d)
{
    if (!isPointNumber(d))
        return 4;
    const int s = table.DestVisible[d] ? state.CurrentSource[d] : 0;
    if (s <= 0)
        return 4;
    if (state.HighPriority[d])
        return 3;
    return s != table.DestDefaultSource[d] ? 2 : 1;
}

} // namespace marlin
