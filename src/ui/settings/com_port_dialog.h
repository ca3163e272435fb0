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

// "Communication Port Settings": the 96 comm ports, one on screen at a
// time, edited on a working copy that only "Apply and Save" checks, writes
// and puts in force.
class frmSetPorts : public QWidget {
    Q_OBJECT

public:
    explicit frmSetPorts(Server &server, QWidget *parent = nullptr);

    QLabel *lblCom = nullptr;
    QLabel *lblPort = nullptr;
    // The device the port on screen opens, and whether it is there now.
    QLabel *lblDevice = nullptr;
    QToolButton *cmdSRCLEFT = nullptr;
    QToolButton *cmdSRCRight = nullptr;
    QGroupBox *Frame1 = nullptr;
    EquipmentFrame *Frame2 = nullptr;
    QCheckBox *chkENABLE = nullptr;
    QComboBox *cmbBR = nullptr;
    QComboBox *cmbPARITY = nullptr;
    QComboBox *cmbDATA = nullptr;
    QComboBox *cmbSB = nullptr;
    QCheckBox *chkDTR = nullptr;
    QCheckBox *chkRTS = nullptr;
    QComboBox *cmbType = nullptr;
    QComboBox *cmbID = nullptr;
    QComboBox *cmbLevel = nullptr;
    QComboBox *cmbPro = nullptr;
    QLineEdit *txtDesc = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCANCEL = nullptr;

    int portOnScreen() const { return port; }
    const ComPortTable &workingCopy() const { return working; }

private:
    void step(int direction);
    void saveScreen();
    void showPort();
    void apply();

    Server &server;
    ComPortTable working;
    int port = 1;
};

} // namespace marlin
