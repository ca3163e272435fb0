#include "connection_status.h"

#include "core/server.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

namespace marlin {

namespace {
constexpr int kRowsPerColumn = 16;
const QColor kLive(0, 160, 0);
} // namespace

ConnectionLamp::ConnectionLamp(QWidget *parent) : QWidget(parent)
{
    setFixedSize(sizeHint());
    setAccessibleDescription(QStringLiteral("Empty"));
}

void ConnectionLamp::setFilled(bool filled)
{
    if (on == filled)
        return;
    on = filled;
    setAccessibleDescription(on ? QStringLiteral("Live") : QStringLiteral("Empty"));
    update();
}

void ConnectionLamp::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(palette().color(QPalette::WindowText), 1));
    p.setBrush(on ? QBrush(kLive) : Qt::NoBrush);
    p.drawEllipse(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5));
}

frmConStat::frmConStat(const Server &server, QWidget *parent) : QWidget(parent), server(server)
{
    setObjectName(QStringLiteral("frmConStat"));
    setWindowTitle(QStringLiteral("Client Connection Status"));
    setAccessibleName(windowTitle());
    setAttribute(Qt::WA_DeleteOnClose);

    auto *frame = new QGroupBox(QStringLiteral("Active Client Connections"));
    frame->setAccessibleName(frame->title());
    auto *grid = new QGridLayout(frame);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(2);
    const QFontMetrics metrics(font());
    for (int i = 1; i <= kClientCount; ++i) {
        const int row = (i - 1) % kRowsPerColumn;
        const int column = (i - 1) / kRowsPerColumn * 4;
        lblCon[i] = new QLabel(QString::number(i));
        lblCon[i]->setAccessibleName(lblCon[i]->text());
        lblCon[i]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        lblIP[i] = new QLabel;
        lblIP[i]->setAccessibleName(QStringLiteral("Address %1").arg(i));
        lblIP[i]->setMinimumWidth(metrics.horizontalAdvance(QStringLiteral("255.255.255.255/65535")));
        shpCon[i] = new ConnectionLamp;
        shpCon[i]->setAccessibleName(QStringLiteral("Connection %1").arg(i));
        grid->addWidget(lblCon[i], row, column);
        grid->addWidget(shpCon[i], row, column + 1);
        grid->addWidget(lblIP[i], row, column + 2);
        if (column > 0)
            grid->setColumnMinimumWidth(column - 1, 12);
    }

    cmdClose = new QPushButton(QStringLiteral("Close"));
    cmdClose->setAccessibleName(cmdClose->text());
    connect(cmdClose, &QPushButton::clicked, this, &QWidget::close);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdClose);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(frame);
    layout->addLayout(buttons);

    timeCon.setObjectName(QStringLiteral("timeCon"));
    timeCon.setInterval(250);
    connect(&timeCon, &QTimer::timeout, this, &frmConStat::tick);
    timeCon.start();
    tick();
}

void frmConStat::tick()
{
    for (int i = 1; i <= kClientCount; ++i) {
        const ClientRecord &record = server.panelRecords()[i];
        lblIP[i]->setText(record.InUse ? record.RemoteIP + QLatin1Char('/') + QString::number(record.RemotePort)
                                       : QString());
        shpCon[i]->setFilled(record.InUse);
    }
}

} // namespace marlin
