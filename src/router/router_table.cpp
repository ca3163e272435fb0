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

namespace {

int physicalOf(const PointArray<qint16> &physical, int n) { return isPointNumber(n) ? physical[n] : 0; }

int tableNumberOf(const PointArray<qint16> &physical, int p)
{
    if (p <= 0)
        return 0;
    if (isPointNumber(p) && physical[p] == p)
        return p;
    for (int n = 1; n <= kPointCount; ++n) {
        if (physical[n] == p)
            return n;
    }
    return 0;
}

} // namespace

int PhysicalSource(const RouterTable &t, int source) { return physicalOf(t.SourcePhysical, source); }
int PhysicalDestination(const RouterTable &t, int destination) { return physicalOf(t.DestPhysical, destination); }
int TableSource(const RouterTable &t, int physical) { return tableNumberOf(t.SourcePhysical, physical); }
int TableDestination(const RouterTable &t, int physical) { return tableNumberOf(t.DestPhysical, physical); }

int ShownSource(const RouterTable &t, const RouterState &state, int d)
{
    const int p = PhysicalDestination(t, d);
    return isPointNumber(p) ? TableSource(t, state.CurrentSource[p]) : 0;
}

bool ShownHold(const RouterTable &t, const RouterState &state, int d)
{
    const int p = PhysicalDestination(t, d);
    return isPointNumber(p) && state.HighPriority[p];
}

int DestinationColor(const RouterTable &table, const RouterState &state, int d)
{
    if (!isPointNumber(d))
        return 4;
    const int s = table.DestVisible[d] ? ShownSource(table, state, d) : 0;
    if (s <= 0)
        return 4;
    if (ShownHold(table, state, d))
        return 3;
    return s != table.DestDefaultSource[d] ? 2 : 1;
}

} // namespace marlin
