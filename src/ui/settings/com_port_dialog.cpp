#include "com_port_dialog.h"

#include "config/convert.h"
#include "core/server.h"
#include "ui/settings/settings_login.h"
#include "ui/messages.h"
#include "ui/settings/port_window_parts.h"
#include "ui/settings/list_choice.h"
#include "ui/settings/step_button.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace marlin {

frmSetPorts::frmSetPorts(Server &server, QWidget *parent)
    : QWidget(parent), server(server), working(server.currentSettings().ComPorts)
{
    setObjectName(QStringLiteral("frmSetPorts"));
    setWindowTitle(QStringLiteral("Communication Port Settings"));
    new SettingsLogin(this, server, SettingsKind::Administration);
    setAttribute(Qt::WA_DeleteOnClose);

    lblCom = new QLabel(QStringLiteral("Communication Port"));
    lblCom->setObjectName(QStringLiteral("lblCom"));
    lblPort = makePortNumber(QStringLiteral("Communication Port"));
    lblDevice = new QLabel;
    lblDevice->setObjectName(QStringLiteral("lblDevice"));
    lblDevice->setAccessibleDescription(QStringLiteral("Device"));
    lblDevice->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblDevice->setToolTip(QStringLiteral("What this port opens: the device its COM link in the server's folder "
                                         "names, or else the built-in serial line; and whether it is there now."));
    cmdSRCLEFT = makeStepButton(Qt::LeftArrow, QStringLiteral("cmdSRCLEFT"), QStringLiteral("Previous Port"));
    cmdSRCRight = makeStepButton(Qt::RightArrow, QStringLiteral("cmdSRCRight"), QStringLiteral("Next Port"));
    connect(cmdSRCLEFT, &QToolButton::clicked, this, [this] { step(-1); });
    connect(cmdSRCRight, &QToolButton::clicked, this, [this] { step(1); });

    chkENABLE = new QCheckBox(QStringLiteral("Hardware Enabled"));
    chkENABLE->setObjectName(QStringLiteral("chkENABLE"));
    cmbBR = makeList("cmbBR", {QStringLiteral("110"), QStringLiteral("300"), QStringLiteral("600"),
                               QStringLiteral("1200"), QStringLiteral("2400"), QStringLiteral("9600"),
                               QStringLiteral("14400"), QStringLiteral("19200"), QStringLiteral("28800"),
                               QStringLiteral("38400"), QStringLiteral("56000"), QStringLiteral("128000"),
                               QStringLiteral("256000")});
    cmbPARITY = makeList("cmbPARITY", {QStringLiteral("Even"), QStringLiteral("None"), QStringLiteral("Odd")});
    cmbDATA = makeList("cmbDATA", {QStringLiteral("5"), QStringLiteral("6"), QStringLiteral("7"), QStringLiteral("8")});
    cmbSB = makeList("cmbSB", {QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")});
    chkDTR = new QCheckBox(QStringLiteral("DTR Enabled"));
    chkDTR->setObjectName(QStringLiteral("chkDTR"));
    chkRTS = new QCheckBox(QStringLiteral("RTS Enabled"));
    chkRTS->setObjectName(QStringLiteral("chkRTS"));

    Frame1 = new QGroupBox(QStringLiteral("Port Settings"));
    Frame1->setObjectName(QStringLiteral("Frame1"));
    auto *form1 = new QFormLayout(Frame1);
    form1->addRow(chkENABLE);
    const std::pair<const char *, QWidget *> lineRows[] = {
        {"Baud Rate", cmbBR}, {"Parity", cmbPARITY}, {"Data Bits", cmbDATA}, {"Stop Bits", cmbSB}};
    for (const auto &[caption, control] : lineRows) {
        control->setAccessibleName(QString::fromLatin1(caption));
        form1->addRow(QString::fromLatin1(caption), control);
    }
    form1->addRow(chkDTR);
    form1->addRow(chkRTS);

    Frame2 = new EquipmentFrame;
    Frame2->setObjectName(QStringLiteral("Frame2"));
    cmbType = Frame2->cmbType;
    cmbID = Frame2->cmbID;
    cmbLevel = Frame2->cmbLevel;
    cmbPro = Frame2->cmbPro;
    txtDesc = Frame2->txtDesc;
    for (QCheckBox *box : {chkENABLE, chkDTR, chkRTS})
        box->setAccessibleName(box->text());

    cmdOK = makeApplyButton();
    cmdCANCEL = makeCancelButton();
    connect(cmdOK, &QPushButton::clicked, this, &frmSetPorts::apply);
    connect(cmdCANCEL, &QPushButton::clicked, this, &QWidget::close);

    QHBoxLayout *portRow = makePortRow(lblCom, cmdSRCLEFT, lblPort, cmdSRCRight);
    portRow->addSpacing(12);
    portRow->addWidget(lblDevice, 1);
    layOutPortWindow(this, portRow, Frame1, Frame2, cmdOK, cmdCANCEL);

    showPort();
}

void frmSetPorts::step(int direction)
{
    saveScreen();
    port = std::clamp(port + direction, 1, kPortCount);
    showPort();
}

void frmSetPorts::saveScreen()
{
    ComPortSettings &p = working[port];
    p.ComEnable = chkENABLE->isChecked();
    p.ComBaudRate = pickedListValue(cmbBR, p.ComBaudRate, 1);
    p.ComParity = pickedListValue(cmbPARITY, p.ComParity, 1);
    p.ComDataBits = pickedListValue(cmbDATA, p.ComDataBits, 1);
    p.ComStopBits = pickedListValue(cmbSB, p.ComStopBits, 1);
    p.ComDTR = chkDTR->isChecked();
    p.ComRTS = chkRTS->isChecked();
    const EquipmentFields e =
        Frame2->readFields({p.ComDeviceType, p.ComIDNumber, p.ComLevel, p.ComProtocol, p.ComDescription});
    p.ComDeviceType = e.deviceType;
    p.ComIDNumber = e.router;
    p.ComLevel = e.level;
    p.ComProtocol = e.protocol;
    p.ComDescription = e.description;
}

void frmSetPorts::showPort()
{
    const ComPortSettings &p = working[port];
    lblPort->setText(QString::number(port));
    const ComDevice device = comDevice(server, port);
    lblDevice->setText(QStringLiteral("Device: ") + device.path
                       + (device.exists ? QStringLiteral("  (present)") : QStringLiteral("  (not present)")));
    chkENABLE->setChecked(p.ComEnable);
    showListPosition(cmbBR, p.ComBaudRate - 1);
    showListPosition(cmbPARITY, p.ComParity - 1);
    showListPosition(cmbDATA, p.ComDataBits - 1);
    showListPosition(cmbSB, p.ComStopBits - 1);
    chkDTR->setChecked(p.ComDTR);
    chkRTS->setChecked(p.ComRTS);
    Frame2->showFields({p.ComDeviceType, p.ComIDNumber, p.ComLevel, p.ComProtocol, p.ComDescription});
}

void frmSetPorts::apply()
{
    if (!SettingsLogin::mayApply(this))
        return;
    saveScreen();
    const PortSettingsOutcome outcome = server.apply(ComPortsEdit{working});
    switch (outcome.result) {
    case PortSettingsOutcome::Refused:
        openMessage(this, QMessageBox::Critical, QStringLiteral("Error"), outcome.text);
        return;
    case PortSettingsOutcome::NotWritten:
        openSaveFailure(this, QStringLiteral("settings file"), server.SettingsFile(), outcome.text,
                        QStringLiteral("The changes are"));
        return;
    case PortSettingsOutcome::Applied:
        close();
        return;
    }
}

} // namespace marlin
