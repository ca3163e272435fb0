#include "network_card_dialog.h"

#include "config/convert.h"
#include "config/ini_file.h"
#include "core/console_actions.h"
#include "core/server.h"
#include "ui/settings/settings_login.h"
#include "ui/messages.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>

namespace marlin {

frmSetNic::frmSetNic(Server &server, QWidget *parent) : QWidget(parent), server(server)
{
    setObjectName(QStringLiteral("frmSetNic"));
    setWindowTitle(QStringLiteral("Network Settings"));
    new SettingsLogin(this, server, SettingsKind::Administration);
    setAttribute(Qt::WA_DeleteOnClose);

    auto *frame = new QGroupBox(QStringLiteral("Local Network Card IP Addresses"));
    auto *form = new QFormLayout(frame);
    for (int k = 1; k <= kCardCount; ++k) {
        txtIP[k] = new QLineEdit(server.currentSettings().Cards[k].CardIPAddress);
        txtIP[k]->setObjectName(QStringLiteral("txtIP%1").arg(k));
        form->addRow(QStringLiteral("Network Card %1").arg(k), txtIP[k]);
    }

    auto *web = new QGroupBox(QStringLiteral("Web"));
    web->setObjectName(QStringLiteral("fraWeb"));
    auto *webForm = new QFormLayout(web);
    const WebSettings &current = server.currentSettings().Web;
    chkWebEnabled = new QCheckBox(QStringLiteral("Enabled"));
    chkWebEnabled->setObjectName(QStringLiteral("chkWebEnabled"));
    chkWebEnabled->setAccessibleName(QStringLiteral("Enabled"));
    chkWebEnabled->setChecked(current.WebEnabled);
    txtWebIP = new QLineEdit(current.WebIPAddress);
    txtWebIP->setObjectName(QStringLiteral("txtWebIP"));
    txtWebIP->setAccessibleName(QStringLiteral("IP Address"));
    txtWebPort = new QSpinBox;
    txtWebPort->setObjectName(QStringLiteral("txtWebPort"));
    txtWebPort->setAccessibleName(QStringLiteral("TCP Port"));
    txtWebPort->setRange(0, 65535);
    txtWebPort->setSpecialValueText(QStringLiteral("0 (any free port)"));
    txtWebPort->setValue(std::clamp(int(current.WebTCPPort), 0, 65535));
    webForm->addRow(chkWebEnabled);
    webForm->addRow(QStringLiteral("IP Address"), txtWebIP);
    webForm->addRow(QStringLiteral("TCP Port"), txtWebPort);

    cmdOK = new QPushButton(QStringLiteral("Save"));
    cmdCancel = new QPushButton(QStringLiteral("Cancel"));
    connect(cmdOK, &QPushButton::clicked, this, &frmSetNic::save);
    connect(cmdCancel, &QPushButton::clicked, this, &QWidget::close);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(frame);
    layout->addWidget(web);
    layout->addLayout(buttons);
}

void frmSetNic::save()
{
    if (!SettingsLogin::mayApply(this))
        return;
    // The model takes the addresses only once they are on disk, so it never
    // holds what the next start would not find.
    Settings edited = server.currentSettings();
    for (int k = 1; k <= kCardCount; ++k) {
        edited.Cards[k].CardIPAddress = trimSpaces(txtIP[k]->text());
        const QString refusal =
            ansiRefusal(QStringLiteral("Network Card %1").arg(k), edited.Cards[k].CardIPAddress);
        if (!refusal.isEmpty()) {
            openMessage(this, QMessageBox::Warning, windowTitle(), refusal);
            return;
        }
    }
    const QString webAddress = trimSpaces(txtWebIP->text());
    WebSettings probe = edited.Web;
    probe.WebIPAddress = webAddress;
    probe.WebTCPPort = txtWebPort->value();
    if (!WebEndpointProblem(probe).isEmpty()) {
        openMessage(this, QMessageBox::Warning, QStringLiteral("Web"),
                    QStringLiteral("The web address must be an IP address, such as 127.0.0.1 or 0.0.0.0."));
        return;
    }
    edited.Web.WebEnabled = chkWebEnabled->isChecked();
    edited.Web.WebIPAddress = webAddress;
    edited.Web.WebTCPPort = txtWebPort->value();
    QString error;
    if (!server.apply(SettingsEdit{edited}, &error)) {
        openSaveFailure(this, QStringLiteral("settings file"), server.SettingsFile(), error,
                        QStringLiteral("The addresses are"));
        return;
    }
    close();
}

} // namespace marlin
