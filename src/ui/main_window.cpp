#include "main_window.h"

#include "config/convert.h"
#include "core/server.h"
#include "ui/problem_window.h"
#include "ui/settings/network_card_dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDockWidget>
#include <QFormLayout>
#include <QLabel>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QVBoxLayout>

namespace marlin {

namespace {
const QString kTitle = QStringLiteral("Marlin Server");

QString dateText(const QDate &d) { return d.toString(QStringLiteral("MM-dd-yyyy")); }
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
    setWindowTitle(caption());
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

    connect(&server, &Server::startupErrorDue, this, &MDIMain::showStartupError);
    connect(&server, &Server::problemRoutersRefreshRequested, this, &MDIMain::refreshProblemRouters);
    connect(&server, &Server::alertRaised, this, &MDIMain::raiseAlert);
    connect(&server, &Server::networkCardSettingsRequested, this, &MDIMain::openNetworkCardSettings);
    connect(&server, &Server::alertCleared, this, &MDIMain::clearAlert);
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

    // Enabled by the login according to the user's privilege.
    menuSettings = menuBar()->addMenu(QStringLiteral("Settings"));
    for (const char *item : {"Communication Settings", "General Settings", "Network Card Settings",
                             "Network Device Settings", "Router Configuration Utility", "User Management"})
        menuSettings->addAction(QString::fromLatin1(item))->setEnabled(false);
    connect(menuSettings->actions().at(2), &QAction::triggered, this, &MDIMain::openNetworkCardSettings);

    QMenu *view = menuBar()->addMenu(QStringLiteral("View"));
    for (const char *item : {"Client Connection Status", "Error Log", "Overall Router View", "Switch Log"})
        view->addAction(QString::fromLatin1(item))->setEnabled(false);

    menuBar()->addAction(QStringLiteral("About"), this, &MDIMain::showAbout);
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
    form->addRow(QStringLiteral("Current Date"), lblDate);
    form->addRow(QStringLiteral("Current Time"), lblTime);
    form->addRow(QStringLiteral("Start Date"), lblSDate);
    form->addRow(QStringLiteral("Connections"), lblCon);
    form->addRow(lblUser, lblPRIV);
    auto *layout = new QVBoxLayout(panel);
    layout->addLayout(form);
    layout->addWidget(new QLabel(QStringLiteral("Problem Routers")));
    lstRouters = new QListWidget;
    layout->addWidget(lstRouters, 1);

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
    lblCon->setText(Str(LiveClientCount(server.clientTable)) + QStringLiteral(" /")
                    + Str(server.clients.acceptedSocketCount()));
}

void MDIMain::refreshProblemRouters()
{
    lstRouters->clear();
    for (int r : server.problemRouters())
        lstRouters->addItem(server.RouterTables[r].Name);
}

QMdiSubWindow *MDIMain::openChild(QWidget *child)
{
    QMdiSubWindow *sub = area->addSubWindow(child);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    // A child that closes itself takes its frame with it.
    connect(child, &QObject::destroyed, sub, &QMdiSubWindow::close);
    connect(area, &QMdiArea::subWindowActivated, sub, [sub](QMdiSubWindow *active) {
        if (active && active != sub)
            sub->close();
    });
    sub->show();
    area->setActiveSubWindow(sub);
    return sub;
}

QWidget *MDIMain::openNetworkCardSettings()
{
    if (!networkCardWindow)
        networkCardWindow = openChild(new frmSetNic(server))->widget();
    else
        area->setActiveSubWindow(qobject_cast<QMdiSubWindow *>(networkCardWindow->parentWidget()));
    return networkCardWindow;
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
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Error"), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("startupErrorBox"));
    box->open();
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
