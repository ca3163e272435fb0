#include "port_window_parts.h"

#include "config/convert.h"
#include "ui/settings/list_choice.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace marlin {

QComboBox *makeList(const char *name, const QStringList &items)
{
    auto *list = new QComboBox;
    list->setObjectName(QLatin1String(name));
    list->addItems(items);
    return list;
}

QStringList numberItems(int from, int to)
{
    QStringList items;
    for (int n = from; n <= to; ++n)
        items.append(Str(n));
    return items;
}

QLabel *makePortNumber(const QString &accessibleName)
{
    auto *number = new QLabel;
    number->setObjectName(QStringLiteral("lblPort"));
    // Read by its value, the port number; the caption describes it.
    number->setAccessibleDescription(accessibleName);
    number->setAlignment(Qt::AlignCenter);
    number->setMinimumWidth(number->fontMetrics().horizontalAdvance(QStringLiteral(" 96 ")) + 8);
    number->setFrameShape(QFrame::StyledPanel);
    return number;
}

QHBoxLayout *makePortRow(QLabel *caption, QToolButton *back, QLabel *number, QToolButton *forward)
{
    auto *row = new QHBoxLayout;
    row->addWidget(caption);
    row->addWidget(back);
    row->addWidget(number);
    row->addWidget(forward);
    return row;
}

namespace {
QPushButton *makeButton(const QString &caption, const QString &name)
{
    auto *button = new QPushButton(caption);
    button->setObjectName(name);
    button->setAccessibleName(caption);
    return button;
}
} // namespace

QPushButton *makeApplyButton() { return makeButton(QStringLiteral("Apply and Save"), QStringLiteral("cmdOK")); }
QPushButton *makeCancelButton() { return makeButton(QStringLiteral("Cancel"), QStringLiteral("cmdCANCEL")); }

void layOutPortWindow(QWidget *window, QHBoxLayout *portRow, QWidget *left, QWidget *right, QPushButton *ok,
                      QPushButton *cancel)
{
    auto *frames = new QHBoxLayout;
    frames->addWidget(left, 1);
    frames->addWidget(right, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto *layout = new QVBoxLayout(window);
    layout->addLayout(portRow);
    layout->addLayout(frames);
    layout->addLayout(buttons);
}

EquipmentFrame::EquipmentFrame(QWidget *parent) : QGroupBox(QStringLiteral("Broadcast Equipment Settings"), parent)
{
    cmbType = makeList("cmbType", {QStringLiteral("Router")});
    cmbID = makeList("cmbID", numberItems(1, 128));
    cmbLevel = makeList("cmbLevel", numberItems(0, 7));
    cmbPro = makeList("cmbPro", {});
    txtDesc = new QLineEdit;
    txtDesc->setObjectName(QStringLiteral("txtDesc"));
    auto *form = new QFormLayout(this);
    const std::pair<const char *, QWidget *> rows[] = {
        {"Type", cmbType}, {"Router #", cmbID}, {"Main Router Level", cmbLevel}, {"Protocol", cmbPro},
        {"Description", txtDesc}};
    for (const auto &[caption, control] : rows) {
        control->setAccessibleName(QString::fromLatin1(caption));
        form->addRow(QString::fromLatin1(caption), control);
    }
    connect(cmbType, &QComboBox::activated, this, [this](int position) {
        if (position == 0)
            fillProtocols();
    });
    fillProtocols();
}

void EquipmentFrame::fillProtocols()
{
    cmbPro->clear();
    cmbPro->addItems({QStringLiteral("Leitch"), QStringLiteral("Image Video 9540")});
    cmbPro->setCurrentIndex(-1);
}

void EquipmentFrame::showFields(const EquipmentFields &fields)
{
    showListPosition(cmbType, fields.deviceType - 1);
    if (cmbType->currentIndex() == 0)
        fillProtocols();
    showListPosition(cmbID, fields.router - 1);
    showListPosition(cmbLevel, fields.level);
    showListPosition(cmbPro, fields.protocol - 1);
    txtDesc->setText(fields.description);
}

EquipmentFields EquipmentFrame::readFields(const EquipmentFields &stored) const
{
    return {pickedListValue(cmbType, stored.deviceType, 1), pickedListValue(cmbID, stored.router, 1),
            pickedListValue(cmbLevel, stored.level, 0), pickedListValue(cmbPro, stored.protocol, 1),
            txtDesc->text()};
}

} // namespace marlin
