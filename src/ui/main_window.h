#pragma once

#include <QMainWindow>
#include <QTimer>

class QLabel;
class QListWidget;
class QMdiArea;
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

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildMenus();
    void buildStatusPanel();
    void showAbout();
    void showStartupError(const QString &text);
    void refreshProblemRouters();
    void tick();
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
    bool askBeforeClosing = true;
    bool closedDown = false;

public:
    QMenu *menuSettings = nullptr;
    QAction *menuFileExit = nullptr;
    QAction *menuOpOverallSrc = nullptr;
    QAction *menuOpOverallDes = nullptr;
};

} // namespace marlin
