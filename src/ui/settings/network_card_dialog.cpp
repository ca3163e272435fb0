#include "network_card_dialog.h"

#include "config/ini_file.h"
#include "core/console_actions.h"
#include "core/server.h"
#include "ui/messages.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace marlin {

frmSetNic::frmSetNic(Server &server, QWidget *parent) : QWidget(parent), server(server)
{
    setObjectName(QStringLiteral("frmSetNic"));
    setWindowTitle(QStringLiteral("Network Settings"));
    setAttribute(Qt::WA_DeleteOnClose);

    auto *frame = new QGroupBox(QStringLiteral("Local Network Card IP Addresses"));
    auto *form = new QFormLayout(frame);
    for (int k = 1; k <= kCardCount; ++k) {
        txtIP[k] = new QLineEdit(server.settings.Cards[k].CardIPAddress);
        txtIP[k]->setObjectName(QStringLiteral("txtIP%1").arg(k));
        form->addRow(QStringLiteral("Network Card %1").arg(k), txtIP[k]);
    }
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
    layout->addLayout(buttons);
}

void frmSetNic::save()
{
    // The model takes the addresses only once they are on disk, so it never
    // holds what the next start would not find.
    Settings edited = server.settings;
    for (int k = 1; k <= kCardCount; ++k)
        edited.Cards[k].CardIPAddress = trimSpaces(txtIP[k]->text());
    QString error;
    if (!ApplySettings(server, edited, &error)) {
        openSaveFailure(this, QStringLiteral("settings file"), server.SettingsFile(), error,
                        QStringLiteral("The addresses are"));
        return;
    }
    close();
}

} // namespace marlin
