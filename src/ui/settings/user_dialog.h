#pragma once

#include "config/users.h"

#include <QWidget>

class QComboBox;
class QLineEdit;
class QPushButton;

namespace marlin {

class Server;

// "User Settings": the twelve user accounts, edited on a working copy that
// only "Apply And Save" writes to USER.INI and makes the user table.
class frmSetUsers : public QWidget {
    Q_OBJECT

public:
    explicit frmSetUsers(Server &server, QWidget *parent = nullptr);

    QComboBox *cmbNum = nullptr;
    QLineEdit *txtName = nullptr;
    QLineEdit *txtPW = nullptr;
    QComboBox *cmbPriv = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCANCEL = nullptr;

    const UserTable &workingCopy() const { return working; }

private:
    void selectUser();
    void apply();

    Server &server;
    UserTable working;
    bool showing = false;
};

} // namespace marlin
