#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QPixmap>
#include <QWidget>

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QTableView;

namespace marlin {

class Server;

// Every destination of every router: one column per router in the column
// order of the settings, one row per destination, the current source in
// each cell coloured by its state.
class RouterViewModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum class IconMode { None, Sources, Destinations };
    // The router a column shows.
    static constexpr int RouterRole = Qt::UserRole;

    explicit RouterViewModel(Server &server, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    int routerOfColumn(int column) const;
    // The source number a cell shows, 0 when it is empty.
    int sourceAt(const QModelIndex &index) const;

    IconMode iconMode() const { return mode; }
    void setIconMode(IconMode iconMode);
    // Everything may have changed: one signal for all cells, so the view
    // repaints once, and only what is on screen.
    void refresh();

private:
    QColor color(int number) const;
    QVariant picture(const QString &key) const;
    QString toolTip(int router, int destination, int source) const;

    Server &server;
    IconMode mode = IconMode::Sources;
    mutable QHash<QString, QPixmap> pixmaps;
};

// "Overall Router View": the grid, a find box, the take dialog on a
// double-click or Enter, and the "High Priority" popup on a right-click.
class frmRtrView : public QWidget {
    Q_OBJECT

public:
    frmRtrView(Server &server, QMenu *menuPop, QAction *menuPopPri, QWidget *parent = nullptr);

    RouterViewModel *model() const { return rows; }
    QTableView *grid() const { return gridRTR; }
    QLineEdit *findBox() const { return txtFind; }

    // Row heights follow the icon mode: 230 twips without icons, 500 with.
    void setIconMode(RouterViewModel::IconMode mode);
    void RefreshRouterView();
    // Moves the current cell to the first cell, router by router, whose
    // router name, destination label or source label holds text.
    bool find(const QString &text);

    int PopupRouter = 0;
    int PopupDestination = 0;

signals:
    // Router, column, source shown (0 when none) and destination of a cell.
    void takeRequested(int router, int column, int source, int destination);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void requestTake(const QModelIndex &index);
    void showPopup(const QPoint &position);

    Server &server;
    RouterViewModel *rows = nullptr;
    QTableView *gridRTR = nullptr;
    QLineEdit *txtFind = nullptr;
    QLabel *corner = nullptr;
    QMenu *menuPop = nullptr;
    QAction *menuPopPri = nullptr;
    QAction *menuPopProtect = nullptr;
    QAction *menuPopRelease = nullptr;
};

// Twips, the unit of the layout, at 96 dots per inch.
constexpr int pixelsFromTwips(int twips) { return (twips + 7) / 15; }

} // namespace marlin
