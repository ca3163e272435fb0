#pragma once

#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <QTimer>

#include "ui/problem_window.h"

class QLabel;
class QListWidget;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QAction;

namespace marlin {

class Server;


// The server's main window: status panel, menus, and the home of every
// other window. Closing it shuts the server down after two confirmations.
class MDIMain : public QMainWindow {
    Q_OBJECT

public:
    explicit MDIMain(Server &server, QWidget *parent = nullptr);

    static QString caption();

    // Closes without the two questions (termination signal), still logging.
    void closeWithoutQuestions();

    QMdiArea *mdiArea() const { return area; }
    // The open alert window of a port number, if any.
    frmPROBLEM *alertWindow(int port) const { return AlertWindows.value(port); }

    // Opens a window inside the main window, modeless; it closes itself as
    // soon as another window becomes active.
    QMdiSubWindow *openChild(QWidget *child);
    // The Network Card Settings window, opened (or brought forward).
    QWidget *openNetworkCardSettings();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildMenus();
    void buildStatusPanel();
    void showAbout();
    void showStartupError(const QString &text);
    void refreshProblemRouters();
    void tick();
    void raiseAlert(int port, const QString &text);
    void clearAlert(int port);
    bool confirm(const QString &question);

    Server &server;
    QMdiArea *area = nullptr;
    QLabel *lblDate = nullptr;
    QLabel *lblTime = nullptr;
    QLabel *lblSDate = nullptr;
    QLabel *lblCon = nullptr;
    QLabel *lblUser = nullptr;
    QLabel *lblPRIV = nullptr;
    QListWidget *lstRouters = nullptr;
    QTimer timeTime;
    QMap<int, QPointer<frmPROBLEM>> AlertWindows;
    QPointer<QWidget> networkCardWindow;
    bool askBeforeClosing = true;
    bool closedDown = false;

public:
    QMenu *menuSettings = nullptr;
    QAction *menuFileExit = nullptr;
    QAction *menuOpOverallSrc = nullptr;
    QAction *menuOpOverallDes = nullptr;
};

} // namespace marlin
