#include "user_dialog.h"

#include "config/ini_file.h"
#include "core/console_actions.h"
#include "core/server.h"
#include "ui/settings/settings_login.h"
#include "ui/messages.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace marlin {

frmSetUsers::frmSetUsers(Server &server, QWidget *parent) : QWidget(parent), server(server), working(server.users())
{
    setObjectName(QStringLiteral("frmSetUsers"));
    setWindowTitle(QStringLiteral("User Settings"));
    new SettingsLogin(this, server, SettingsKind::Administration);
    setAttribute(Qt::WA_DeleteOnClose);

    cmbNum = new QComboBox;
    cmbNum->setObjectName(QStringLiteral("cmbNum"));
    for (int i = 1; i <= kUserCount; ++i)
        cmbNum->addItem(QStringLiteral(" %1").arg(i), i);
    txtName = new QLineEdit;
    txtName->setObjectName(QStringLiteral("txtName"));
    txtPW = new QLineEdit;
    txtPW->setObjectName(QStringLiteral("txtPW"));
    cmbPriv = new QComboBox;
    cmbPriv->setObjectName(QStringLiteral("cmbPriv"));
    for (int privilege = Operator; privilege <= Administrator; ++privilege)
        cmbPriv->addItem(privilegeName(privilege), privilege);
    cmdOK = new QPushButton(QStringLiteral("Apply And Save"));
    cmdCANCEL = new QPushButton(QStringLiteral("Cancel"));

    auto *frame = new QGroupBox(QStringLiteral("Users"));
    auto *form = new QFormLayout(frame);
    const std::pair<const char *, QWidget *> rows[] = {
        {"User Number", cmbNum}, {"Name", txtName}, {"Password", txtPW}, {"Privilege", cmbPriv}};
    for (const auto &[caption, control] : rows) {
        control->setAccessibleName(QString::fromLatin1(caption));
        form->addRow(QString::fromLatin1(caption), control);
    }
    for (QPushButton *button : {cmdOK, cmdCANCEL})
        button->setAccessibleName(button->text());
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCANCEL);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(frame);
    layout->addLayout(buttons);

    connect(cmbNum, &QComboBox::currentIndexChanged, this, &frmSetUsers::selectUser);
    // Every change goes into the working copy at once, trimmed.
    connect(txtName, &QLineEdit::textChanged, this, [this](const QString &text) {
        if (!showing)
            working[cmbNum->currentData().toInt()].UserName = trimSpaces(text);
    });
    connect(txtPW, &QLineEdit::textChanged, this, [this](const QString &text) {
        if (!showing)
            working[cmbNum->currentData().toInt()].UserPassword = trimSpaces(text);
    });
    connect(cmbPriv, &QComboBox::currentIndexChanged, this, [this] {
        if (!showing && cmbPriv->currentIndex() >= 0)
            working[cmbNum->currentData().toInt()].UserPrivilege = qint16(cmbPriv->currentData().toInt());
    });
    connect(cmdOK, &QPushButton::clicked, this, &frmSetUsers::apply);
    connect(cmdCANCEL, &QPushButton::clicked, this, &QWidget::close);
    selectUser();
}

void frmSetUsers::selectUser()
{
    User &user = working[cmbNum->currentData().toInt()];
    // Merely looking at a user without a privilege gives it the lowest.
    if (user.UserPrivilege == NoPrivilege)
        user.UserPrivilege = Operator;
    showing = true;
    txtName->setText(trimSpaces(user.UserName));
    txtPW->setText(trimSpaces(user.UserPassword));
    cmbPriv->setCurrentIndex(cmbPriv->findData(int(user.UserPrivilege)));
    showing = false;
}

void frmSetUsers::apply()
{
    if (!SettingsLogin::mayApply(this))
        return;
    if (const QString refusal = UserRecordRefusal(working); !refusal.isEmpty()) {
        openMessage(this, QMessageBox::Warning, QStringLiteral("User Settings"), refusal);
        return;
    }
    if (!HasAdministratorWhoCanLogIn(working)) {
        openMessage(this, QMessageBox::Warning, QStringLiteral("User Settings"),
                    QStringLiteral("There must be at least one Administrator who can log in: give one a name, and a "
                               "name and password without \"-\".  Nothing was saved."));
        return;
    }
    QString error;
    if (!server.apply(UsersEdit{working}, &error)) {
        openSaveFailure(this, QStringLiteral("user file"), server.UserFile(), error, QStringLiteral("The users are"));
        return;
    }
    const QList<int> untypable = UsersTheLoginCannotType(working);
    if (!untypable.isEmpty()) {
        QStringList numbers;
        for (const int i : untypable)
            numbers.append(QString::number(i));
        // Saved all the same: the file and the panels allow it.
        openMessage(window(), QMessageBox::Warning, QStringLiteral("Warning"),
                    QStringLiteral("Saved.  User %1 has a \"-\" in the name or password, which the login cannot "
                                   "type: that user cannot log in at the console.")
                        .arg(numbers.join(QStringLiteral(", "))));
    }
    close();
}

} // namespace marlin
