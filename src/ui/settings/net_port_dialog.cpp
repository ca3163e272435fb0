#include "net_port_dialog.h"

#include "config/convert.h"
#include "config/ini_file.h"
#include "core/server.h"
#include "ui/messages.h"
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

QComboBox *makeList(const char *name, const QStringList &items)
{
    auto *list = new QComboBox;
    list->setObjectName(QLatin1String(name));
    list->addItems(items);
    return list;
}

QLineEdit *makeText(const char *name)
{
    auto *text = new QLineEdit;
    text->setObjectName(QLatin1String(name));
    return text;
}

// Numbers as the lists have always shown them: a leading space where a
// sign would go.
QStringList numbers(int from, int to)
{
    QStringList items;
    for (int n = from; n <= to; ++n)
        items.append(Str(n));
    return items;
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
    : QWidget(parent), server(server), working(netPortEdits(server.settings))
{
    setObjectName(QStringLiteral("frmSetNetPorts"));
    setWindowTitle(QStringLiteral("Network Device Settings"));
    setAttribute(Qt::WA_DeleteOnClose);

    lblCom = new QLabel(QStringLiteral("Device Number"));
    lblCom->setObjectName(QStringLiteral("lblCom"));
    lblPort = new QLabel;
    lblPort->setObjectName(QStringLiteral("lblPort"));
    lblPort->setAccessibleName(QStringLiteral("Device Number"));
    lblPort->setAlignment(Qt::AlignCenter);
    lblPort->setMinimumWidth(lblPort->fontMetrics().horizontalAdvance(QStringLiteral(" 96 ")) + 8);
    lblPort->setFrameShape(QFrame::StyledPanel);
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
    txtUser = makeText("txtUser");
    txtPassWord = makeText("txtPassWord");
    cmbType = makeList("cmbType", {QStringLiteral("Router")});
    cmbID = makeList("cmbID", numbers(1, 128));
    cmbLevel = makeList("cmbLevel", numbers(0, 7));
    cmbPro = makeList("cmbPro", {});
    txtDesc = makeText("txtDesc");

    fraPort = new QGroupBox(QStringLiteral("TCP / UDP Port Settings"));
    addRows(new QFormLayout(fraPort),
            {{"Device IP Address", txtIP}, {"Device Port #", txtPort}, {"Device Port Type", cmbTCPType}});
    fraLogin = new QGroupBox(QStringLiteral("Login Command (optional)"));
    addRows(new QFormLayout(fraLogin), {{"User Name:", txtUser}, {"Password:", txtPassWord}});
    fraNetwork = new QGroupBox(QStringLiteral("Network Settings"));
    auto *network = new QVBoxLayout(fraNetwork);
    network->addWidget(fraPort);
    network->addWidget(fraLogin);
    network->addStretch();
    fraEquipment = new QGroupBox(QStringLiteral("Broadcast Equipment Settings"));
    addRows(new QFormLayout(fraEquipment), {{"Type", cmbType},
                                            {"Router #", cmbID},
                                            {"Main Router Level", cmbLevel},
                                            {"Protocol", cmbPro},
                                            {"Description", txtDesc}});

    cmdOK = new QPushButton(QStringLiteral("Apply and Save"));
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdCANCEL = new QPushButton(QStringLiteral("Cancel"));
    cmdCANCEL->setObjectName(QStringLiteral("cmdCANCEL"));
    for (QPushButton *button : {cmdOK, cmdCANCEL})
        button->setAccessibleName(button->text());
    connect(cmdOK, &QPushButton::clicked, this, &frmSetNetPorts::apply);
    connect(cmdCANCEL, &QPushButton::clicked, this, &QWidget::close);
    // Choosing a type offers that type's languages afresh.
    connect(cmbType, &QComboBox::activated, this, [this](int position) {
        if (position == 0)
            fillProtocols();
    });

    auto *portRow = new QHBoxLayout;
    portRow->addWidget(lblCom);
    portRow->addWidget(cmdSRCLEFT);
    portRow->addWidget(lblPort);
    portRow->addWidget(cmdSRCRight);
    portRow->addSpacing(16);
    portRow->addWidget(chkENABLE);
    portRow->addStretch();
    auto *frames = new QHBoxLayout;
    frames->addWidget(fraNetwork, 1);
    frames->addWidget(fraEquipment, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCANCEL);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(portRow);
    layout->addLayout(frames);
    layout->addLayout(buttons);

    fillProtocols();
    showPort();
}

void frmSetNetPorts::fillProtocols()
{
    cmbPro->clear();
    cmbPro->addItems({QStringLiteral("Leitch"), QStringLiteral("Image Video 9540")});
    cmbPro->setCurrentIndex(-1);
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
    p.NetPortType = pickedListValue(cmbTCPType, p.NetPortType, 0);
    p.NetUser = trimSpaces(txtUser->text());
    p.NetPassword = trimSpaces(txtPassWord->text());
    p.NetDeviceType = pickedListValue(cmbType, p.NetDeviceType, 1);
    p.NetIDNumber = pickedListValue(cmbID, p.NetIDNumber, 1);
    p.NetLevel = pickedListValue(cmbLevel, p.NetLevel, 0);
    p.NetProtocol = pickedListValue(cmbPro, p.NetProtocol, 1);
    p.NetDescription = trimSpaces(txtDesc->text());
}

void frmSetNetPorts::showPort()
{
    const NetPortSettings &p = working.ports[port];
    lblPort->setText(QString::number(port));
    chkENABLE->setChecked(p.NetEnabled);
    txtIP->setText(p.NetIPAddress);
    txtPort->setText(working.portText[port]);
    showListPosition(cmbTCPType, p.NetPortType);
    txtUser->setText(p.NetUser);
    txtPassWord->setText(p.NetPassword);
    // The type first: it fills the protocol list.
    showListPosition(cmbType, p.NetDeviceType - 1);
    if (cmbType->currentIndex() == 0)
        fillProtocols();
    showListPosition(cmbID, p.NetIDNumber - 1);
    showListPosition(cmbLevel, p.NetLevel);
    showListPosition(cmbPro, p.NetProtocol - 1);
    txtDesc->setText(p.NetDescription);
}

void frmSetNetPorts::apply()
{
    saveScreen();
    const PortSettingsOutcome outcome = ApplyNetPortSettings(server, working);
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
