#include "problem_window.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace marlin {

namespace {
const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);

void paintBackground(QWidget *w, const QColor &color)
{
    QPalette p = w->palette();
    p.setColor(QPalette::Window, color);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}
} // namespace

frmPROBLEM::frmPROBLEM(const QString &alertText, QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("frmPROBLEM"));
    setWindowTitle(QStringLiteral("Communication Problem"));
    setAttribute(Qt::WA_DeleteOnClose);

    lblPROBLEM = new QLabel(QStringLiteral("Communication Problem"));
    QFont big = lblPROBLEM->font();
    big.setPointSize(big.pointSize() + 8);
    big.setBold(true);
    lblPROBLEM->setFont(big);
    lblPROBLEM->setAlignment(Qt::AlignCenter);
    lblPROBLEM->setStyleSheet(QStringLiteral("color: white"));

    lblHEAD = new QLabel(alertText);
    lblHEAD->setWordWrap(true);
    lblHEAD->setAlignment(Qt::AlignCenter);
    QFont head = lblHEAD->font();
    head.setPointSize(head.pointSize() + 3);
    lblHEAD->setFont(head);
    lblHEAD->setStyleSheet(QStringLiteral("color: white"));

    cmdOK = new QPushButton(QStringLiteral("OK"));
    connect(cmdOK, &QPushButton::clicked, this, &QWidget::close);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lblPROBLEM);
    layout->addWidget(lblHEAD, 1);
    layout->addWidget(cmdOK, 0, Qt::AlignHCenter);
    resize(520, 220);

    timePROBLEM.setInterval(500);
    connect(&timePROBLEM, &QTimer::timeout, this, &frmPROBLEM::flash);
    timePROBLEM.start();
    flash();
}

void frmPROBLEM::flash()
{
    red = !red;
    paintBackground(this, red ? kRed : kBlue);
    paintBackground(lblHEAD, red ? kRed : kBlue);
    QApplication::beep();
}

} // namespace marlin
