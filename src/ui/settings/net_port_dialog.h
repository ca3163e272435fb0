#pragma once

#include "core/port_settings.h"

#include <QWidget>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace marlin {

class EquipmentFrame;
class Server;

// "Network Device Settings": the 96 network ports, one on screen at a time,
// edited on a working copy that only "Apply and Save" checks, writes and
// puts in force.
class frmSetNetPorts : public QWidget {
    Q_OBJECT

public:
    explicit frmSetNetPorts(Server &server, QWidget *parent = nullptr);

    QLabel *lblCom = nullptr;
    QLabel *lblPort = nullptr;
    QToolButton *cmdSRCLEFT = nullptr;
    QToolButton *cmdSRCRight = nullptr;
    QCheckBox *chkENABLE = nullptr;
    QGroupBox *fraNetwork = nullptr;
    QGroupBox *fraPort = nullptr;
    QGroupBox *fraLogin = nullptr;
    EquipmentFrame *fraEquipment = nullptr;
    QLineEdit *txtIP = nullptr;
    QLineEdit *txtPort = nullptr;
    QLineEdit *txtLocalPort = nullptr;
    QComboBox *cmbTCPType = nullptr;
    QLineEdit *txtUser = nullptr;
    QLineEdit *txtPassWord = nullptr;
    QComboBox *cmbType = nullptr;
    QComboBox *cmbID = nullptr;
    QComboBox *cmbLevel = nullptr;
    QComboBox *cmbPro = nullptr;
    QLineEdit *txtDesc = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCANCEL = nullptr;

    int portOnScreen() const { return port; }
    const NetPortEdits &workingCopy() const { return working; }

private:
    void step(int direction);
    void saveScreen();
    void showPort();
    void apply();

    Server &server;
    NetPortEdits working;
    int port = 1;
};

} // namespace marlin
