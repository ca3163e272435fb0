#include "login_dialog.h"

#include "core/console_actions.h"
#include "core/server.h"

#include <QApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace marlin {

frmLogin::frmLogin(Server &server, QWidget *parent) : QWidget(parent), server(server)
{
    setObjectName(QStringLiteral("frmLogin"));
    setWindowTitle(QStringLiteral("Login"));
    setAttribute(Qt::WA_DeleteOnClose);

    txtName = new QLineEdit;
    txtName->setObjectName(QStringLiteral("txtName"));
    txtName->setAccessibleName(QStringLiteral("User name:"));
    txtPass = new QLineEdit;
    txtPass->setObjectName(QStringLiteral("txtPass"));
    txtPass->setAccessibleName(QStringLiteral("Password:"));
    txtPass->setEchoMode(QLineEdit::Password);
    for (QLineEdit *box : {txtName, txtPass}) {
        box->installEventFilter(this);
        connect(box, &QLineEdit::returnPressed, this, &frmLogin::ok);
    }

    cmdOK = new QPushButton(QStringLiteral("OK"));
    cmdCANCEL = new QPushButton(QStringLiteral("Cancel"));
    cmdLOGOUT = new QPushButton(QStringLiteral("Log Out"));
    for (QPushButton *button : {cmdOK, cmdCANCEL, cmdLOGOUT})
        button->setAccessibleName(button->text());
    connect(cmdOK, &QPushButton::clicked, this, &frmLogin::ok);
    connect(cmdCANCEL, &QPushButton::clicked, this, &QWidget::close);
    connect(cmdLOGOUT, &QPushButton::clicked, this, &frmLogin::logOut);
    cmdLOGOUT->setVisible(server.currentUser() > 0);

    lblERROR = new QLabel(QStringLiteral("The system could not log you in.  Please make sure your user name and "
                                         "password are correct.  If you require assistance, please contact your "
                                         "local administrator."));
    lblERROR->setObjectName(QStringLiteral("lblERROR"));
    lblERROR->setWordWrap(true);
    lblERROR->setStyleSheet(QStringLiteral("color: #c00000;"));
    lblERROR->hide();
    timeError.setObjectName(QStringLiteral("timeError"));
    timeError.setInterval(3000);
    timeError.setSingleShot(true);
    connect(&timeError, &QTimer::timeout, lblERROR, &QWidget::hide);

    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("User name:"), txtName);
    form->addRow(QStringLiteral("Password:"), txtPass);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(cmdLOGOUT);
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCANCEL);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(lblERROR);
    layout->addLayout(buttons);
    setMinimumWidth(360);
    txtName->setFocus();
}

bool frmLogin::eventFilter(QObject *watched, QEvent *event)
{
    // Names and passwords never hold a "-": the key is swallowed.
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->text() == QLatin1String("-"))
        return true;
    return QWidget::eventFilter(watched, event);
}

void frmLogin::ok()
{
    if (!LogIn(server, txtName->text(), txtPass->text())) {
        QApplication::beep();
        lblERROR->show();
        makeRoomForError();
        timeError.start();
        return;
    }
    emit loggedIn(server.currentUser());
    close();
}

void frmLogin::makeRoomForError()
{
    // The window was sized without the error: it grows (its frame with it)
    // until the fields keep their height and the wrapped message fits.
    layout()->activate();
    const int needed = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(width())
                                                     : layout()->totalSizeHint().height();
    if (height() >= needed)
        return;
    QWidget *frame = parentWidget() ? parentWidget() : this;
    frame->resize(frame->width(), frame->height() + needed - height());
}

void frmLogin::logOut()
{
    LogOut(server);
    emit loggedOut();
    close();
}

} // namespace marlin
