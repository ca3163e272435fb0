#include "net_port_dialog.h"

#include "config/convert.h"
#include "config/ini_file.h"
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

namespace {

QLineEdit *makeText(const char *name)
{
    auto *text = new QLineEdit;
    text->setObjectName(QLatin1String(name));
    return text;
}

void addRows(QFormLayout *form, std::initializer_list<std::pair<const char *, QWidget *>> rows)
{
    for (const auto &[caption, control] : rows) {
        control->setAccessibleName(QString::fromLatin1(caption));
        form->addRow(QString::fromLatin1(caption), control);
    }
}

} // namespace

frmSetNetPorts::frmSetNetPorts(Server &server, QWidget *parent)
    : QWidget(parent), server(server), working(netPortEdits(server.currentSettings()))
{
    setObjectName(QStringLiteral("frmSetNetPorts"));
    setWindowTitle(QStringLiteral("Network Device Settings"));
    new SettingsLogin(this, server, SettingsKind::Administration);
    setAttribute(Qt::WA_DeleteOnClose);

    lblCom = new QLabel(QStringLiteral("Device Number"));
    lblCom->setObjectName(QStringLiteral("lblCom"));
    lblPort = makePortNumber(QStringLiteral("Device Number"));
    cmdSRCLEFT = makeStepButton(Qt::LeftArrow, QStringLiteral("cmdSRCLEFT"), QStringLiteral("Previous Device"));
    cmdSRCRight = makeStepButton(Qt::RightArrow, QStringLiteral("cmdSRCRight"), QStringLiteral("Next Device"));
    connect(cmdSRCLEFT, &QToolButton::clicked, this, [this] { step(-1); });
    connect(cmdSRCRight, &QToolButton::clicked, this, [this] { step(1); });

    chkENABLE = new QCheckBox(QStringLiteral("Hardware Enabled"));
    chkENABLE->setObjectName(QStringLiteral("chkENABLE"));
    chkENABLE->setAccessibleName(chkENABLE->text());
    txtIP = makeText("txtIP");
    txtIP->setToolTip(QStringLiteral("IP address of device to control."));
    txtPort = makeText("txtPort");
    txtPort->setToolTip(QStringLiteral("TCP or UDP port of device to control."));
    cmbTCPType = makeList("cmbTCPType", {QStringLiteral("TCP"), QStringLiteral("UDP")});
    txtLocalPort = makeText("txtLocalPort");
    txtLocalPort->setToolTip(QStringLiteral("UDP port of this server that the device reports to; 0: any free port."));
    txtUser = makeText("txtUser");
    txtPassWord = makeText("txtPassWord");

    fraPort = new QGroupBox(QStringLiteral("TCP / UDP Port Settings"));
    addRows(new QFormLayout(fraPort),
            {{"Device IP Address", txtIP},
             {"Device Port #", txtPort},
             {"Device Port Type", cmbTCPType},
             {"Local UDP Port #", txtLocalPort}});
    fraLogin = new QGroupBox(QStringLiteral("Login Command (optional)"));
    addRows(new QFormLayout(fraLogin), {{"User Name:", txtUser}, {"Password:", txtPassWord}});
    fraNetwork = new QGroupBox(QStringLiteral("Network Settings"));
    auto *network = new QVBoxLayout(fraNetwork);
    network->addWidget(fraPort);
    network->addWidget(fraLogin);
    network->addStretch();
    fraEquipment = new EquipmentFrame;
    cmbType = fraEquipment->cmbType;
    cmbID = fraEquipment->cmbID;
    cmbLevel = fraEquipment->cmbLevel;
    cmbPro = fraEquipment->cmbPro;
    txtDesc = fraEquipment->txtDesc;

    cmdOK = makeApplyButton();
    cmdCANCEL = makeCancelButton();
    connect(cmdOK, &QPushButton::clicked, this, &frmSetNetPorts::apply);
    connect(cmdCANCEL, &QPushButton::clicked, this, &QWidget::close);

    QHBoxLayout *portRow = makePortRow(lblCom, cmdSRCLEFT, lblPort, cmdSRCRight);
    portRow->addSpacing(16);
    portRow->addWidget(chkENABLE);
    portRow->addStretch();
    layOutPortWindow(this, portRow, fraNetwork, fraEquipment, cmdOK, cmdCANCEL);

    showPort();
}

void frmSetNetPorts::step(int direction)
{
    saveScreen();
    port = std::clamp(port + direction, 1, kPortCount);
    showPort();
}

void frmSetNetPorts::saveScreen()
{
    NetPortSettings &p = working.ports[port];
    p.NetEnabled = chkENABLE->isChecked();
    p.NetIPAddress = trimSpaces(txtIP->text());
    working.portText[port] = trimSpaces(txtPort->text());
    working.localPortText[port] = trimSpaces(txtLocalPort->text());
    p.NetPortType = pickedListValue(cmbTCPType, p.NetPortType, 0);
    p.NetUser = trimSpaces(txtUser->text());
    p.NetPassword = trimSpaces(txtPassWord->text());
    const EquipmentFields e =
        fraEquipment->readFields({p.NetDeviceType, p.NetIDNumber, p.NetLevel, p.NetProtocol, p.NetDescription});
    p.NetDeviceType = e.deviceType;
    p.NetIDNumber = e.router;
    p.NetLevel = e.level;
    p.NetProtocol = e.protocol;
    p.NetDescription = trimSpaces(e.description);
}

void frmSetNetPorts::showPort()
{
    const NetPortSettings &p = working.ports[port];
    lblPort->setText(QString::number(port));
    chkENABLE->setChecked(p.NetEnabled);
    txtIP->setText(p.NetIPAddress);
    txtPort->setText(working.portText[port]);
    txtLocalPort->setText(working.localPortText[port]);
    showListPosition(cmbTCPType, p.NetPortType);
    txtUser->setText(p.NetUser);
    txtPassWord->setText(p.NetPassword);
    fraEquipment->showFields({p.NetDeviceType, p.NetIDNumber, p.NetLevel, p.NetProtocol, p.NetDescription});
}

void frmSetNetPorts::apply()
{
    if (!SettingsLogin::mayApply(this))
        return;
    saveScreen();
    const PortSettingsOutcome outcome = server.apply(NetPortsEdit{working});
    switch (outcome.result) {
    case PortSettingsOutcome::Refused:
        // The operator sees the port whose field is refused.
        if (outcome.port != 0 && outcome.port != port) {
            port = outcome.port;
            showPort();
        }
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
