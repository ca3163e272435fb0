#pragma once

#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <QTimer>

#include "ui/problem_window.h"
#include "ui/login_dialog.h"
#include "ui/router_view.h"
#include "ui/take_dialog.h"

#include <array>

class QLabel;
class QListWidget;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QAction;

namespace marlin {

class LogDayPicker;
class frmSetNetPorts;
class frmSetPorts;
class Server;
class frmSetGen;
class frmSetRTR;
class frmSetUsers;


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
    // soon as another window becomes active. A window opened quietly closes
    // no other by opening.
    QMdiSubWindow *openChild(QWidget *child, bool quietly = false);
    // The Network Card Settings window, opened (or brought forward).
    QWidget *openNetworkCardSettings();
    // "Communication Port Settings" and "Network Device Settings", each on a
    // working copy of the 96 ports.
    frmSetPorts *openComPortSettings();
    frmSetNetPorts *openNetPortSettings();
    // "User Settings", on a working copy of the users.
    frmSetUsers *openUserSettings();
    // "General Settings": the view's colours and column order.
    frmSetGen *openGeneralSettings();
    // Reloads the icon files first, so newly added ones can be chosen; a
    // second request brings the open utility forward with its edits.
    frmSetRTR *openRouterUtility();
    frmRtrView *openRouterView();
    frmRtrView *routerViewWindow() const { return routerView && routerView->isVisible() ? routerView : nullptr; }
    // The take dialog on a router (1..96) with a source and destination
    // (0 when none) preselected.
    frmTake *openTakeDialog(int router, int source, int destination);
    // The login, opened (or brought forward); at startup it opens quietly,
    // beside a card settings window that is already open.
    frmLogin *openLogin(bool quietly = false);
    frmLogin *loginDialog() const { return loginWindow && loginWindow->isVisible() ? loginWindow : nullptr; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildMenus();
    void buildStatusPanel();
    void showAbout();
    void showStartupError(const QString &text);
    void refreshProblemRouters();
    void applyIconMode();
    RouterViewModel::IconMode iconMode() const;
    void applyLogin(int user);
    void applyLogout();
    // Closes, edits dropped, every settings window whose login has ended or
    // lost the privilege the window needs.
    void closeSettingsWithoutLogin();
    void tick();
    void raiseAlert(int port, const QString &text);
    void clearAlert(int port);
    bool confirm(const QString &question);
    void openLogPicker(LogDayPicker *picker);

    Server &server;
    QMdiArea *area = nullptr;
    QLabel *lblDate = nullptr;
    QLabel *lblTime = nullptr;
    QLabel *lblSDate = nullptr;
    QLabel *lblCon = nullptr;
    QLabel *lblUser = nullptr;
    QLabel *lblPRIV = nullptr;
    QLabel *lblRouters = nullptr;
    QListWidget *lstRouters = nullptr;
    // Shown while the logs cannot be written.
    QLabel *lblLogProblem = nullptr;
    QTimer timeTime;
    // One refresh of the router view 333 ms after the last crosspoint change
    // of a burst, restarted by each change.
    QTimer timeRTRUpdate;
    // Shows the failure the server raised once, a second later, when the
    // window is up; a second raise meanwhile replaces the text.
    QTimer timeError;
    QString startupErrorText;
    QMap<int, QPointer<frmPROBLEM>> AlertWindows;
    QPointer<QWidget> networkCardWindow;
    QPointer<frmSetRTR> routerUtilityWindow;
    QPointer<frmRtrView> routerView;
    QPointer<frmLogin> loginWindow;
    bool askBeforeClosing = true;
    bool closedDown = false;

public:
    QMenu *menuSettings = nullptr;
    QAction *menuFileExit = nullptr;
    QAction *menuOpOverallSrc = nullptr;
    QAction *menuOpOverallDes = nullptr;
    QAction *menuSetCom = nullptr;
    QAction *menuSetGen = nullptr;
    QAction *menuSetNetwork = nullptr;
    QAction *menuSetNetPorts = nullptr;
    QAction *menuSetRouter = nullptr;
    QAction *menuSetUser = nullptr;
    QAction *menuViewCon = nullptr;
    QAction *menuViewErr = nullptr;
    QAction *menuViewRTR = nullptr;
    QAction *menuViewLogSwitch = nullptr;
    QAction *menuViewSalvos = nullptr;
    QMenu *menuPop = nullptr;
    QAction *menuPopPri = nullptr;
    std::array<QAction *, 2> cmdTB{};   // the router view, the login
};

} // namespace marlin
