#include "main_window.h"

#include "config/convert.h"
#include "core/server.h"
#include "core/console_actions.h"
#include "ui/child_windows.h"
#include "ui/connection_status.h"
#include "ui/log_viewer.h"
#include "ui/login_dialog.h"
#include "ui/messages.h"
#include "ui/problem_window.h"
#include "ui/salvo_window.h"
#include "ui/take_dialog.h"
#include "ui/settings/com_port_dialog.h"
#include "ui/settings/general_dialog.h"
#include "ui/settings/net_port_dialog.h"
#include "ui/settings/network_card_dialog.h"
#include "ui/settings/router_dialog.h"
#include "ui/settings/settings_login.h"
#include "ui/settings/user_dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDockWidget>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QStyle>
#include <QToolBar>
#include <QVBoxLayout>

namespace marlin {

namespace {
const QString kTitle = QStringLiteral("Marlin Server");
const char *const kOpensQuietly = "opensQuietly";

// The window that opened a child for itself, kept on the child's frame.
constexpr char kOpenedBy[] = "openedBy";

QString dateText(const QDate &d) { return d.toString(QStringLiteral("MM-dd-yyyy")); }

// A window that has closed lingers until its deletion; it is not open.
bool isOpen(const QWidget *window) { return window && window->isVisible(); }
} // namespace

QString MDIMain::caption()
{
    return kTitle + QStringLiteral(" Version %1.%2.%3")
                        .arg(MARLIN_VERSION_MAJOR)
                        .arg(MARLIN_VERSION_MINOR)
                        .arg(MARLIN_VERSION_PATCH);
}

MDIMain::MDIMain(Server &server, QWidget *parent) : QMainWindow(parent), server(server)
{
    setObjectName(QStringLiteral("MDIMain"));
    // A hot spare says so where every operator looks first.
    const auto showRole = [this](bool standby) {
        setWindowTitle(standby ? caption() + QStringLiteral(" - STANDBY") : caption());
    };
    showRole(server.isStandby());
    connect(&server, &Server::standbyChanged, this, showRole);
    area = new QMdiArea(this);
    area->setBackground(QColor(0x80, 0x80, 0x80));
    setCentralWidget(area);
    buildMenus();
    buildStatusPanel();
    resize(1024, 700);

    timeTime.setObjectName(QStringLiteral("timeTime"));
    timeTime.setInterval(300);
    connect(&timeTime, &QTimer::timeout, this, &MDIMain::tick);
    timeTime.start();
    tick();

    timeError.setObjectName(QStringLiteral("timeError"));
    timeError.setInterval(1000);
    timeError.setSingleShot(true);
    connect(&timeError, &QTimer::timeout, this, [this] { showStartupError(startupErrorText); });
    connect(&server, &Server::startupErrorRaised, this, [this](const QString &text) {
        startupErrorText = text;
        timeError.start();
    });
    connect(&server, &Server::problemRoutersRefreshRequested, this, &MDIMain::refreshProblemRouters);
    connect(&server, &Server::alertRaised, this, &MDIMain::raiseAlert);
    // A card that cannot listen gets its settings window at once, and the
    // login opens beside it without closing it.
    connect(&server, &Server::networkCardFailedAtStart, this, &MDIMain::openNetworkCardSettings);
    connect(&server, &Server::alertCleared, this, &MDIMain::clearAlert);
    connect(&server, &Server::startedWithNobodyLoggedIn, this, [this] { openLogin(true); });
    // A privilege taken away (the users edited or reloaded) closes the
    // settings windows that needed it.
    connect(&server, &Server::filesReloaded, this, [this](const QString &what) {
        if (what == QLatin1String("users"))
            closeSettingsWithoutLogin();
    });
    const auto refreshRouterView = [this] {
        if (routerView)
            routerView->RefreshRouterView();
    };
    connect(&server, &Server::routerViewRefreshRequested, this, refreshRouterView);
    timeRTRUpdate.setObjectName(QStringLiteral("timeRTRUpdate"));
    timeRTRUpdate.setInterval(333);
    timeRTRUpdate.setSingleShot(true);
    connect(&timeRTRUpdate, &QTimer::timeout, this, refreshRouterView);
    connect(&server, &Server::crosspointChanged, this, [this] { timeRTRUpdate.start(); });
}

void MDIMain::buildMenus()
{
    QMenu *file = menuBar()->addMenu(QStringLiteral("File"));
    menuFileExit = file->addAction(QStringLiteral("Exit"), this, &QWidget::close);

    QMenu *options = menuBar()->addMenu(QStringLiteral("Options"));
    QMenu *overall = options->addMenu(QStringLiteral("Overall Router View"));
    menuOpOverallSrc = overall->addAction(QStringLiteral("Show Source Icons"));
    menuOpOverallSrc->setCheckable(true);
    menuOpOverallSrc->setChecked(true);
    menuOpOverallDes = overall->addAction(QStringLiteral("Show Destination Icons"));
    menuOpOverallDes->setCheckable(true);
    // At most one icon mode: checking one item unchecks the other.
    connect(menuOpOverallSrc, &QAction::triggered, this, [this](bool checked) {
        if (checked)
            menuOpOverallDes->setChecked(false);
        applyIconMode();
    });
    connect(menuOpOverallDes, &QAction::triggered, this, [this](bool checked) {
        if (checked)
            menuOpOverallSrc->setChecked(false);
        applyIconMode();
    });

    // Enabled by the login according to the user's privilege.
    menuSettings = menuBar()->addMenu(QStringLiteral("Settings"));
    menuSetCom = menuSettings->addAction(QStringLiteral("Communication Settings"));
    menuSetGen = menuSettings->addAction(QStringLiteral("General Settings"));
    menuSetNetwork = menuSettings->addAction(QStringLiteral("Network Card Settings"));
    menuSetNetPorts = menuSettings->addAction(QStringLiteral("Network Device Settings"));
    menuSetRouter = menuSettings->addAction(QStringLiteral("Router Configuration Utility"));
    menuSetUser = menuSettings->addAction(QStringLiteral("User Management"));
    for (QAction *item : menuSettings->actions())
        item->setEnabled(false);
    connect(menuSetCom, &QAction::triggered, this, &MDIMain::openComPortSettings);
    connect(menuSetNetPorts, &QAction::triggered, this, &MDIMain::openNetPortSettings);
    connect(menuSetNetwork, &QAction::triggered, this, &MDIMain::openNetworkCardSettings);
    connect(menuSetUser, &QAction::triggered, this, &MDIMain::openUserSettings);
    connect(menuSetGen, &QAction::triggered, this, &MDIMain::openGeneralSettings);
    connect(menuSetRouter, &QAction::triggered, this, &MDIMain::openRouterUtility);

    QMenu *view = menuBar()->addMenu(QStringLiteral("View"));
    menuViewCon = view->addAction(QStringLiteral("Client Connection Status"), this,
                                  [this] { openChild(new frmConStat(server)); });
    menuViewErr = view->addAction(QStringLiteral("Error Log"), this,
                                  [this] { openLogPicker(new frmErrorLog(server.logFiles())); });
    menuViewRTR = view->addAction(QStringLiteral("Overall Router View"), this, &MDIMain::openRouterView);
    menuViewLogSwitch = view->addAction(QStringLiteral("Switch Log"), this,
                                        [this] { openLogPicker(new frmSwLog(server.logFiles())); });
    menuViewSalvos = view->addAction(QStringLiteral("Salvos"), this, [this] { openChild(new frmSalvos(server)); });

    menuBar()->addAction(QStringLiteral("About"), this, &MDIMain::showAbout);

    // Shown only as the router view's popup, never in the menu bar.
    menuPop = new QMenu(this);
    menuPopPri = menuPop->addAction(QStringLiteral("High Priority"));
    menuPopPri->setCheckable(true);
    // Beside it, the protect of the destination (the view enables the one
    // that applies).
    menuPop->addAction(QStringLiteral("Protect"))->setObjectName(QStringLiteral("menuPopProtect"));
    menuPop->addAction(QStringLiteral("Release Protect"))->setObjectName(QStringLiteral("menuPopRelease"));

    QToolBar *toolbar = addToolBar(QStringLiteral("Toolbar"));
    toolbar->setObjectName(QStringLiteral("cmdTB"));
    toolbar->setMovable(false);
    cmdTB[0] = toolbar->addAction(style()->standardIcon(QStyle::SP_FileDialogDetailedView),
                                  QStringLiteral("Overall Router View"), this, &MDIMain::openRouterView);
    cmdTB[1] = toolbar->addAction(style()->standardIcon(QStyle::SP_DialogApplyButton), QStringLiteral("Login"),
                                  this, [this] { openLogin(); });
    toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
}

void MDIMain::buildStatusPanel()
{
    auto *panel = new QWidget;
    auto *form = new QFormLayout;
    lblDate = new QLabel;
    lblTime = new QLabel;
    lblSDate = new QLabel;
    lblCon = new QLabel;
    lblUser = new QLabel;
    lblPRIV = new QLabel;
    const std::pair<const char *, QLabel *> rows[] = {
        {"Current Date", lblDate}, {"Current Time", lblTime}, {"Start Date", lblSDate}, {"Connections", lblCon},
        {"User", lblUser}, {"Privilege", lblPRIV}};
    // A value label is read by its value; its caption is its label (the
    // form makes the caption's label its buddy) and its description.
    for (const auto &[caption, label] : rows) {
        label->setAccessibleDescription(QString::fromLatin1(caption));
        form->addRow(QString::fromLatin1(caption), label);
    }
    auto *layout = new QVBoxLayout(panel);
    layout->addLayout(form);
    lblRouters = new QLabel(QStringLiteral("Problem Routers"));
    lstRouters = new QListWidget;
    lstRouters->setAccessibleName(lblRouters->text());
    lstRouters->setStyleSheet(QStringLiteral("color: #c00000;"));
    layout->addWidget(lblRouters);
    layout->addWidget(lstRouters, 1);
    lblLogProblem = new QLabel;
    lblLogProblem->setObjectName(QStringLiteral("lblLogProblem"));
    lblLogProblem->setWordWrap(true);
    lblLogProblem->setStyleSheet(QStringLiteral("color: #c00000;"));
    layout->addWidget(lblLogProblem);
    layout->addStretch();
    lblRouters->hide();
    lstRouters->hide();
    const auto showLogProblem = [this](const QString &problem) {
        lblLogProblem->setText(problem);
        lblLogProblem->setVisible(!problem.isEmpty());
    };
    showLogProblem(server.logProblem());
    connect(&server, &Server::logProblemChanged, this, showLogProblem);

    auto *dock = new QDockWidget(this);
    dock->setObjectName(QStringLiteral("statusPanel"));
    dock->setFeatures(QDockWidget::NoDockWidgetFeatures);
    dock->setTitleBarWidget(new QWidget);
    dock->setWidget(panel);
    addDockWidget(Qt::LeftDockWidgetArea, dock);
}

void MDIMain::tick()
{
    const QDateTime now = QDateTime::currentDateTime();
    lblTime->setText(now.toString(QStringLiteral("HH:mm:ss")));
    lblDate->setText(dateText(now.date()));
    if (server.startDate().isValid())
        lblSDate->setText(dateText(server.startDate()));
    lblCon->setText(Str(LiveClientCount(server.panelRecords())) + QStringLiteral(" /")
                    + Str(server.counters().panelSockets));
}

void MDIMain::refreshProblemRouters()
{
    lstRouters->clear();
    lstRouters->addItems(ProblemRouterEntries(server));
    lblRouters->setVisible(lstRouters->count() > 0);
    lstRouters->setVisible(lstRouters->count() > 0);
}

void MDIMain::applyIconMode()
{
    if (routerView)
        routerView->setIconMode(iconMode());
}

RouterViewModel::IconMode MDIMain::iconMode() const
{
    if (menuOpOverallSrc->isChecked())
        return RouterViewModel::IconMode::Sources;
    if (menuOpOverallDes->isChecked())
        return RouterViewModel::IconMode::Destinations;
    return RouterViewModel::IconMode::None;
}

frmRtrView *MDIMain::openRouterView()
{
    if (isOpen(routerView)) {
        area->setActiveSubWindow(qobject_cast<QMdiSubWindow *>(routerView->parentWidget()));
        return routerView;
    }
    routerView = new frmRtrView(server, menuPop, menuPopPri);
    routerView->setIconMode(iconMode());
    connect(routerView, &frmRtrView::takeRequested, this,
            [this](int router, int, int source, int destination) { openTakeDialog(router, source, destination); });
    QMdiSubWindow *sub = openChild(routerView);
    sub->resize(area->size());
    return routerView;
}

frmTake *MDIMain::openTakeDialog(int router, int source, int destination)
{
    auto *dialog = new frmTake(server, router, source, destination);
    openChild(dialog);
    return dialog;
}

frmLogin *MDIMain::openLogin(bool quietly)
{
    if (!isOpen(loginWindow)) {
        loginWindow = new frmLogin(server);
        connect(loginWindow, &frmLogin::loggedIn, this, &MDIMain::applyLogin);
        connect(loginWindow, &frmLogin::loggedOut, this, &MDIMain::applyLogout);
        openChild(loginWindow, quietly);
    } else {
        area->setActiveSubWindow(qobject_cast<QMdiSubWindow *>(loginWindow->parentWidget()));
    }
    loginWindow->txtName->setFocus();
    return loginWindow;
}

void MDIMain::closeSettingsWithoutLogin()
{
    QList<QWidget *> windows;
    for (QMdiSubWindow *sub : area->subWindowList())
        windows.append(sub->widget());
    SettingsLogin::closeWithoutLogin(windows);
}

void MDIMain::applyLogin(int user)
{
    closeSettingsWithoutLogin();
    const User &u = server.users()[user];
    lblUser->setText(u.UserName);
    const SettingsAccess access = SettingsAccessFor(u.UserPrivilege);
    if (access == SettingsAccess::Unchanged)
        return;
    lblPRIV->setText(privilegeName(u.UserPrivilege));
    const bool all = access == SettingsAccess::All;
    for (QAction *item : {menuSetCom, menuSetGen, menuSetNetwork, menuSetNetPorts, menuSetUser})
        item->setEnabled(all);
    menuSetRouter->setEnabled(true);
}

void MDIMain::applyLogout()
{
    closeSettingsWithoutLogin();
    for (QAction *item : menuSettings->actions())
        item->setEnabled(false);
    lblUser->clear();
    lblPRIV->clear();
}

QMdiSubWindow *MDIMain::openChild(QWidget *child, bool quietly)
{
    QMdiSubWindow *sub = area->addSubWindow(child);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    // A child that closes itself takes its frame with it.
    connect(child, &QObject::destroyed, sub, &QMdiSubWindow::close);
    // Another of our windows that becomes active closes this one, unless
    // it opened by itself (the login at startup) or this one opened it (a
    // log's file window), or this one has asked to stay (the take dialog
    // after its first take). Message boxes and pickers are windows of their
    // own and change nothing here.
    connect(area, &QMdiArea::subWindowActivated, sub, [sub](QMdiSubWindow *active) {
        if (active && active != sub && !active->property(kOpensQuietly).toBool()
            && active->property(kOpenedBy).value<QObject *>() != sub
            && !(sub->widget() && sub->widget()->property(kStaysOpen).toBool()))
            sub->close();
    });
    sub->setProperty(kOpensQuietly, quietly);
    sub->show();
    area->setActiveSubWindow(sub);
    sub->setProperty(kOpensQuietly, false);
    return sub;
}

void MDIMain::openLogPicker(LogDayPicker *picker)
{
    QMdiSubWindow *pickerFrame = openChild(picker);
    // The picker's own file window closes nothing by opening, nor the picker
    // later when the operator works in it; it stays open by itself.
    connect(picker, &LogDayPicker::fileWindowOpened, this, [this, pickerFrame](QWidget *window) {
        QMdiSubWindow *frame = openChild(window, true);
        frame->setProperty(kOpenedBy, QVariant::fromValue<QObject *>(pickerFrame));
        connect(pickerFrame, &QObject::destroyed, frame, [frame] { frame->setProperty(kOpenedBy, QVariant()); });
    });
}

frmSetGen *MDIMain::openGeneralSettings()
{
    auto *dialog = new frmSetGen(server);
    openChild(dialog);
    return dialog;
}

frmSetRTR *MDIMain::openRouterUtility()
{
    if (routerUtilityWindow) {
        area->setActiveSubWindow(qobject_cast<QMdiSubWindow *>(routerUtilityWindow->parentWidget()));
        return routerUtilityWindow;
    }
    server.reloadIcons();
    routerUtilityWindow = new frmSetRTR(server);
    openChild(routerUtilityWindow);
    return routerUtilityWindow;
}

frmSetUsers *MDIMain::openUserSettings()
{
    auto *dialog = new frmSetUsers(server);
    openChild(dialog);
    return dialog;
}

QWidget *MDIMain::openNetworkCardSettings()
{
    if (!isOpen(networkCardWindow))
        networkCardWindow = openChild(new frmSetNic(server))->widget();
    else
        area->setActiveSubWindow(qobject_cast<QMdiSubWindow *>(networkCardWindow->parentWidget()));
    return networkCardWindow;
}

frmSetPorts *MDIMain::openComPortSettings()
{
    auto *dialog = new frmSetPorts(server);
    openChild(dialog);
    return dialog;
}

frmSetNetPorts *MDIMain::openNetPortSettings()
{
    auto *dialog = new frmSetNetPorts(server);
    openChild(dialog);
    return dialog;
}

void MDIMain::raiseAlert(int port, const QString &text)
{
    // One window per port number; a later loss while it is open leaves it
    // as it is, one after the operator's OK opens a new one.
    QPointer<frmPROBLEM> &window = AlertWindows[port];
    if (!window) {
        window = new frmPROBLEM(text, this);
        window->setWindowFlag(Qt::Window);
    }
    window->show();
    window->raise();
}

void MDIMain::clearAlert(int port)
{
    if (QPointer<frmPROBLEM> window = AlertWindows.take(port))
        window->close();
}

void MDIMain::showAbout()
{
    QMessageBox::about(this, QStringLiteral("About"),
                       kTitle + QStringLiteral("\nVersion: %1.%2.%3")
                                    .arg(MARLIN_VERSION_MAJOR)
                                    .arg(MARLIN_VERSION_MINOR)
                                    .arg(MARLIN_VERSION_PATCH));
}

void MDIMain::showStartupError(const QString &text)
{
    // Not modal: a server on a rack with nobody at the screen must keep
    // serving while the message waits for its OK.
    openMessage(this, QMessageBox::Warning, QStringLiteral("Error"), text)->setObjectName(QStringLiteral("startupErrorBox"));
}

bool MDIMain::confirm(const QString &question)
{
    return QMessageBox::warning(this, QStringLiteral("Warning"), question,
                                QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
           == QMessageBox::Yes;
}

void MDIMain::closeWithoutQuestions()
{
    askBeforeClosing = false;
    close();
}

void MDIMain::closeEvent(QCloseEvent *event)
{
    if (closedDown) {
        event->accept();
        return;
    }
    if (askBeforeClosing
        && (!confirm(QStringLiteral("Are you sure you want to close the server down?"))
            || !confirm(QStringLiteral("Are you really sure you want to close the server down?")))) {
        event->ignore();
        return;
    }
    closedDown = true;
    server.Shutdown();
    event->accept();
    qApp->quit();
}

} // namespace marlin
