#pragma once

#include <QTimer>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

namespace marlin {

class Server;

// "Login": the operator at the server's own console logs in or out. The
// rules are the engine's; this window only asks and says no.
class frmLogin : public QWidget {
    Q_OBJECT

public:
    explicit frmLogin(Server &server, QWidget *parent = nullptr);

    QLineEdit *txtName = nullptr;
    QLineEdit *txtPass = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCANCEL = nullptr;
    QPushButton *cmdLOGOUT = nullptr;
    QLabel *lblERROR = nullptr;
    QTimer timeError;

signals:
    void loggedIn(int user);
    void loggedOut();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void ok();
    void logOut();
    void makeRoomForError();

    Server &server;
};

} // namespace marlin
