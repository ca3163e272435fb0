#include "router_view.h"

#include "config/convert.h"
#include "config/ini_file.h"
#include "core/console_actions.h"
#include "core/server.h"
#include "ui/child_windows.h"
#include "ui/messages.h"

#include <QAction>
#include <QEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QTableView>
#include <QVBoxLayout>

namespace marlin {

namespace {

constexpr int kColumnTwips = 910;
constexpr int kRowTwips = 230;
constexpr int kIconRowTwips = 500;

const QColor kFixedBackground(Qt::black);
const QColor kFaultBackground(255, 0, 0);
const QColor kFixedText(Qt::white);

// A Windows RGB value: red in the low byte.
QColor windowsColor(double value)
{
    const SettingsColor c = settingsColor(value);
    return QColor(c.red, c.green, c.blue);
}

QString routerHeading(const Server &server, int r)
{
    const QString name = server.routerTable(r).Name;
    return trimSpaces(name).isEmpty() ? QStringLiteral("Router") + Str(r) : name;
}

} // namespace

RouterViewModel::RouterViewModel(Server &server, QObject *parent) : QAbstractTableModel(parent), server(server) {}

int RouterViewModel::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : kPointCount; }

int RouterViewModel::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : kColumnCount; }

int RouterViewModel::routerOfColumn(int column) const
{
    const int r = column >= 0 && column < kColumnCount ? server.currentSettings().ColumnPosition[column + 1] : 0;
    return isRouterNumber(r) ? r : 0;
}

int RouterViewModel::sourceAt(const QModelIndex &index) const
{
    const int r = routerOfColumn(index.column());
    const int d = index.row() + 1;
    if (!r || !isPointNumber(d) || !server.routerTable(r).DestVisible[d])
        return 0;
    return ShownSource(server.routerTable(r), server.routerState(r), d);
}

QColor RouterViewModel::color(int number) const { return windowsColor(server.currentSettings().Colors[number]); }

QVariant RouterViewModel::picture(const QString &key) const
{
    if (server.icons().size() == 0)
        return {};
    // Unknown keys all show the first picture, so they share its pixmap.
    const QString cacheKey = server.icons().contains(key) ? key : QString();
    auto it = pixmaps.find(cacheKey);
    if (it == pixmaps.end())
        it = pixmaps.insert(cacheKey, QPixmap::fromImage(server.icons().imageFor(key)));
    return *it;
}

QString RouterViewModel::toolTip(int r, int d, int source) const
{
    if (!server.routerState(r).CommOK)
        return QStringLiteral("Communicaion Fault");
    const RouterTable &table = server.routerTable(r);
    const QString cell = source > 0 ? QString::number(source) : QString();
    const QString description = source <= kPointCount ? table.SourceDescription[source] : QString();
    const QString sourceText = description.isEmpty() ? cell : description;
    const QString destinationText = table.DestDescription[d].isEmpty() ? QString::number(d) : table.DestDescription[d];
    return QStringLiteral("Source: ") + sourceText + QStringLiteral(" in Destination: ") + destinationText;
}

QVariant RouterViewModel::data(const QModelIndex &index, int role) const
{
    const int r = routerOfColumn(index.column());
    const int d = index.row() + 1;
    if (!index.isValid() || !r || !isPointNumber(d))
        return {};
    const RouterTable &table = server.routerTable(r);
    const RouterState &state = server.routerState(r);
    const int s = sourceAt(index);
    switch (role) {
    case Qt::DisplayRole:
        return s > 0 ? QVariant(QString::number(s)) : QVariant();
    case Qt::BackgroundRole:
        return color(server.protectedBy(r, d).isEmpty() ? DestinationColor(table, state, d) : kProtectedColor);
    case Qt::DecorationRole:
        if (s <= 0 || mode == IconMode::None)
            return {};
        return picture(mode == IconMode::Sources ? (s <= kPointCount ? table.SourceIcon[s] : QString())
                                                 : table.DestIcon[d]);
    case Qt::ToolTipRole: {
        const QString owner = server.protectedBy(r, d);
        return owner.isEmpty() ? toolTip(r, d, s) : toolTip(r, d, s) + QStringLiteral("\nProtected by ") + owner;
    }
    case Qt::TextAlignmentRole:
        return int(Qt::AlignCenter);
    case RouterRole:
        return r;
    default:
        return {};
    }
}

QVariant RouterViewModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Vertical) {
        switch (role) {
        case Qt::DisplayRole: return Str(section + 1);
        case Qt::BackgroundRole: return kFixedBackground;
        case Qt::ForegroundRole: return kFixedText;
        default: return {};
        }
    }
    const int r = routerOfColumn(section);
    if (!r)
        return {};
    switch (role) {
    case Qt::DisplayRole: return routerHeading(server, r);
    case Qt::BackgroundRole: return server.routerState(r).CommOK ? kFixedBackground : kFaultBackground;
    case Qt::ForegroundRole: return kFixedText;
    case Qt::ToolTipRole:
        return server.routerState(r).CommOK ? QStringLiteral("Router") + Str(r) : QStringLiteral("Communicaion Fault");
    case RouterRole: return r;
    default: return {};
    }
}

void RouterViewModel::setIconMode(IconMode iconMode)
{
    mode = iconMode;
    refresh();
}

void RouterViewModel::refresh()
{
    pixmaps.clear();
    emit headerDataChanged(Qt::Horizontal, 0, kColumnCount - 1);
    emit dataChanged(index(0, 0), index(kPointCount - 1, kColumnCount - 1));
}

frmRtrView::frmRtrView(Server &server, QMenu *menuPop, QAction *menuPopPri, QWidget *parent)
    : QWidget(parent), server(server), menuPop(menuPop), menuPopPri(menuPopPri)
{
    setObjectName(QStringLiteral("frmRtrView"));
    setWindowTitle(QStringLiteral("Overall Router View"));
    setAttribute(Qt::WA_DeleteOnClose);
    // The view stays until the operator closes it, whatever else is opened.
    setProperty(kStaysOpen, true);

    rows = new RouterViewModel(server, this);
    gridRTR = new QTableView;
    gridRTR->setObjectName(QStringLiteral("gridRTR"));
    gridRTR->setAccessibleName(QStringLiteral("Overall Router View"));
    gridRTR->setModel(rows);
    gridRTR->setSelectionMode(QAbstractItemView::SingleSelection);
    gridRTR->setEditTriggers(QAbstractItemView::NoEditTriggers);
    gridRTR->setCornerButtonEnabled(false);
    gridRTR->horizontalHeader()->setDefaultSectionSize(pixelsFromTwips(kColumnTwips));
    gridRTR->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    gridRTR->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    gridRTR->verticalHeader()->setMinimumSectionSize(1);
    gridRTR->verticalHeader()->setFixedWidth(pixelsFromTwips(kColumnTwips));
    gridRTR->verticalHeader()->setDefaultAlignment(Qt::AlignCenter);
    gridRTR->setIconSize(QSize(pixelsFromTwips(kIconRowTwips) - 4, pixelsFromTwips(kIconRowTwips) - 4));
    gridRTR->installEventFilter(this);
    gridRTR->viewport()->installEventFilter(this);
    connect(gridRTR, &QAbstractItemView::doubleClicked, this, &frmRtrView::requestTake);

    // The fixed corner cell.
    corner = new QLabel(QStringLiteral("Destination"), gridRTR);
    corner->setAlignment(Qt::AlignCenter);
    corner->setAutoFillBackground(true);
    QPalette palette = corner->palette();
    palette.setColor(QPalette::Window, kFixedBackground);
    palette.setColor(QPalette::WindowText, kFixedText);
    corner->setPalette(palette);

    txtFind = new QLineEdit;
    txtFind->setObjectName(QStringLiteral("txtFind"));
    txtFind->setPlaceholderText(QStringLiteral("Find router, source or destination"));
    txtFind->setAccessibleName(QStringLiteral("Find"));
    txtFind->setClearButtonEnabled(true);
    connect(txtFind, &QLineEdit::textEdited, this, [this](const QString &text) { find(text); });
    connect(txtFind, &QLineEdit::returnPressed, this, [this] { gridRTR->setFocus(); });

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(txtFind);
    layout->addWidget(gridRTR, 1);

    if (menuPopPri) {
        connect(menuPopPri, &QAction::triggered, this, [this] {
            QString refusal;
            if (!ToggleHighPriority(this->server, PopupRouter, PopupDestination, &refusal))
                openMessage(this, QMessageBox::Information,
                            this->server.isStandby() ? QStringLiteral("Standby") : QStringLiteral("High Priority"),
                            refusal);
        });
    }
    if (menuPop) {
        menuPopProtect = menuPop->findChild<QAction *>(QStringLiteral("menuPopProtect"));
        menuPopRelease = menuPop->findChild<QAction *>(QStringLiteral("menuPopRelease"));
        for (QAction *action : {menuPopProtect, menuPopRelease}) {
            if (!action)
                continue;
            connect(action, &QAction::triggered, this, [this, action] {
                const int user = this->server.currentUser();
                const Server::ProtectOutcome outcome = action == menuPopProtect
                                                           ? this->server.protect(PopupRouter, PopupDestination, user)
                                                           : this->server.releaseProtect(PopupRouter, PopupDestination, user);
                if (outcome.result != Server::ProtectResult::Done)
                    openMessage(this, QMessageBox::Information, QStringLiteral("Protect"), protectOutcomeText(outcome));
            });
        }
    }
    gridRTR->setCurrentIndex(rows->index(0, 0));
    resize(1200, 700);
}

void frmRtrView::setIconMode(RouterViewModel::IconMode mode)
{
    const int twips = mode == RouterViewModel::IconMode::None ? kRowTwips : kIconRowTwips;
    gridRTR->verticalHeader()->setDefaultSectionSize(pixelsFromTwips(twips));
    rows->setIconMode(mode);
}

void frmRtrView::RefreshRouterView() { rows->refresh(); }

bool frmRtrView::find(const QString &text)
{
    const QString wanted = text.trimmed();
    if (wanted.isEmpty())
        return false;
    const auto holds = [&wanted](const QString &s) { return s.contains(wanted, Qt::CaseInsensitive); };
    for (int column = 0; column < kColumnCount; ++column) {
        const int r = rows->routerOfColumn(column);
        if (!r)
            continue;
        const RouterTable &table = server.routerTable(r);
        const bool nameHolds = holds(table.Name);
        for (int d = 1; d <= kPointCount; ++d) {
            const int s = ShownSource(table, server.routerState(r), d);
            if (nameHolds || (table.DestVisible[d] && holds(table.DestLabel[d]))
                || (table.DestVisible[d] && isPointNumber(s) && holds(table.SourceLabel[s]))) {
                const QModelIndex index = rows->index(d - 1, column);
                gridRTR->setCurrentIndex(index);
                gridRTR->scrollTo(index);
                return true;
            }
        }
    }
    return false;
}

void frmRtrView::requestTake(const QModelIndex &index)
{
    // A column without a router shows nothing and takes nothing.
    const int r = index.isValid() ? rows->routerOfColumn(index.column()) : 0;
    if (!r)
        return;
    emit takeRequested(r, index.column() + 1, rows->sourceAt(index), index.row() + 1);
}

void frmRtrView::showPopup(const QPoint &position)
{
    const QModelIndex index = gridRTR->indexAt(position);
    // Only the current cell, and only when its source is known.
    if (!index.isValid() || index != gridRTR->currentIndex() || rows->sourceAt(index) <= 0 || !menuPop)
        return;
    PopupRouter = rows->routerOfColumn(index.column());
    PopupDestination = index.row() + 1;
    menuPopPri->setChecked(ShownHold(server.routerTable(PopupRouter), server.routerState(PopupRouter), PopupDestination));
    const bool protectedNow = !server.protectedBy(PopupRouter, PopupDestination).isEmpty();
    if (menuPopProtect)
        menuPopProtect->setEnabled(!protectedNow);
    if (menuPopRelease)
        menuPopRelease->setEnabled(protectedNow);
    menuPop->popup(gridRTR->viewport()->mapToGlobal(position));
}

bool frmRtrView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == gridRTR->viewport() && event->type() == QEvent::MouseButtonPress) {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::RightButton) {
            // A right-click never moves the current cell.
            showPopup(mouse->position().toPoint());
            return true;
        }
    } else if (watched == gridRTR && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            requestTake(gridRTR->currentIndex());
            return true;
        }
    } else if (watched == gridRTR && (event->type() == QEvent::Resize || event->type() == QEvent::Show)) {
        const int frame = gridRTR->frameWidth();
        corner->setGeometry(frame, frame, gridRTR->verticalHeader()->width(), gridRTR->horizontalHeader()->height());
        corner->raise();
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace marlin
