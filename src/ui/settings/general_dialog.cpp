#include "general_dialog.h"

#include "core/server.h"
#include "ui/settings/settings_login.h"
#include "ui/messages.h"

#include <QColorDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace marlin {

namespace {

// Colours are Windows RGB values: red in the low byte.
QColor fromWindows(double value)
{
    const SettingsColor c = settingsColor(value);
    return QColor(c.red, c.green, c.blue);
}

double toWindows(const QColor &color) { return settingsColorValue({color.red(), color.green(), color.blue()}); }

const std::array<const char *, kColorCount + 1> kSwatchCaptions = {
    "", "Default Source", "Not Default Source", "High Priority", "Destination Not Used", "Protected", "", "", ""};

} // namespace

frmSetGen::frmSetGen(Server &server, QWidget *parent) : QWidget(parent), server(server)
{
    setObjectName(QStringLiteral("frmSetGen"));
    setWindowTitle(QStringLiteral("General Settings"));
    new SettingsLogin(this, server, SettingsKind::Administration);
    setAttribute(Qt::WA_DeleteOnClose);

    auto *colors = new QWidget;
    auto *grid = new QGridLayout(colors);
    for (int i = 1; i <= kColorCount; ++i) {
        lblSBCOLOR[i] = new QLabel(QString::fromLatin1(kSwatchCaptions[i]));
        lblSBCOLOR[i]->setObjectName(QStringLiteral("lblSBCOLOR%1").arg(i));
        lblSBCOLOR[i]->setAccessibleName(i <= 4 ? lblSBCOLOR[i]->text() : QStringLiteral("Color %1").arg(i));
        lblSBCOLOR[i]->setAutoFillBackground(true);
        lblSBCOLOR[i]->setMinimumSize(180, 22);
        lblSBCOLOR[i]->setFrameShape(QFrame::Box);
        cmdSBCOLOR[i] = new QPushButton(QStringLiteral("Change"));
        cmdSBCOLOR[i]->setAccessibleName(QStringLiteral("Change"));
        connect(cmdSBCOLOR[i], &QPushButton::clicked, this, [this, i] { pickColor(i); });
        grid->addWidget(lblSBCOLOR[i], i - 1, 0);
        grid->addWidget(cmdSBCOLOR[i], i - 1, 1);
        setSwatch(i, fromWindows(server.currentSettings().Colors[i]));
    }

    auto *order = new QGroupBox(QStringLiteral("Column Order"));
    lstColShow = new QListWidget;
    lstColShow->setObjectName(QStringLiteral("lstColShow"));
    lstColShow->setAccessibleName(QStringLiteral("Column Order"));
    for (int i = 1; i <= kColumnCount; ++i) {
        const int r = server.currentSettings().ColumnPosition[i];
        auto *item = new QListWidgetItem(isRouterNumber(r) ? server.routerTable(r).Name : QString());
        item->setData(Qt::UserRole, r);
        lstColShow->addItem(item);
    }
    cmdColUp = new QPushButton(QStringLiteral("Move Up"));
    cmdColDown = new QPushButton(QStringLiteral("Move Down"));
    connect(cmdColUp, &QPushButton::clicked, this, [this] { move(-1); });
    connect(cmdColDown, &QPushButton::clicked, this, [this] { move(1); });
    auto *orderLayout = new QHBoxLayout(order);
    orderLayout->addWidget(lstColShow, 1);
    auto *moves = new QVBoxLayout;
    moves->addWidget(cmdColUp);
    moves->addWidget(cmdColDown);
    moves->addStretch();
    orderLayout->addLayout(moves);
    auto *orderTab = new QWidget;
    (new QVBoxLayout(orderTab))->addWidget(order);

    SSTab1 = new QTabWidget;
    SSTab1->addTab(colors, QStringLiteral("Colors"));
    SSTab1->addTab(orderTab, QStringLiteral("Column Order"));
    SSTab1->setCurrentIndex(0);

    cmdOK = new QPushButton(QStringLiteral("Apply And Save"));
    cmdCancel = new QPushButton(QStringLiteral("Cancel"));
    for (QPushButton *button : {cmdColUp, cmdColDown, cmdOK, cmdCancel})
        button->setAccessibleName(button->text());
    connect(cmdOK, &QPushButton::clicked, this, &frmSetGen::apply);
    connect(cmdCancel, &QPushButton::clicked, this, &QWidget::close);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(SSTab1);
    layout->addLayout(buttons);
    resize(420, 460);
}

void frmSetGen::setSwatch(int index, const QColor &color)
{
    swatches[index] = color;
    QPalette palette = lblSBCOLOR[index]->palette();
    palette.setColor(QPalette::Window, color);
    // Keep the caption readable on dark colours.
    palette.setColor(QPalette::WindowText, color.lightness() < 128 ? Qt::white : Qt::black);
    lblSBCOLOR[index]->setPalette(palette);
}

QColor frmSetGen::swatch(int index) const { return swatches[index]; }

void frmSetGen::pickColor(int index)
{
    // A window of its own: choosing in it closes nothing here, and a
    // cancelled picker changes nothing.
    auto *picker = new QColorDialog(this);
    picker->setAttribute(Qt::WA_DeleteOnClose);
    connect(picker, &QColorDialog::colorSelected, this, [this, index](const QColor &color) { setSwatch(index, color); });
    picker->open();
}

void frmSetGen::move(int step)
{
    const int row = lstColShow->currentRow();
    const int to = row + step;
    if (row < 0 || to < 0 || to >= lstColShow->count())
        return;
    QListWidgetItem *item = lstColShow->takeItem(row);
    lstColShow->insertItem(to, item);
    lstColShow->setCurrentRow(to);
}

void frmSetGen::apply()
{
    if (!SettingsLogin::mayApply(this))
        return;
    DisplaySettings edited;
    for (int i = 1; i <= kColorCount; ++i)
        edited.Colors[i] = toWindows(swatches[i]);
    for (int k = 1; k <= kColumnCount && k <= lstColShow->count(); ++k)
        edited.ColumnPosition[k] = qint16(lstColShow->item(k - 1)->data(Qt::UserRole).toInt());
    QString error;
    if (!server.apply(DisplayEdit{edited}, &error)) {
        openSaveFailure(this, QStringLiteral("settings file"), server.SettingsFile(), error,
                        QStringLiteral("The changes are"));
        return;
    }
    close();
}

} // namespace marlin
