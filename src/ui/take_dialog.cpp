#include "take_dialog.h"

#include "config/ini_file.h"
#include "core/console_actions.h"
#include "core/server.h"
#include "ui/messages.h"
#include "ui/child_windows.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace marlin {

namespace {

QGroupBox *framed(const QString &caption, QWidget *content)
{
    auto *frame = new QGroupBox(caption);
    auto *layout = new QVBoxLayout(frame);
    layout->addWidget(content);
    content->setAccessibleName(caption);
    return frame;
}

} // namespace

frmTake::frmTake(Server &server, int takeRouter, int takeSource, int takeDestination, QWidget *parent)
    : QWidget(parent), server(server), TakeSource(takeSource), TakeDestination(takeDestination)
{
    setObjectName(QStringLiteral("frmTake"));
    setWindowTitle(QStringLiteral("Switch Router"));
    setAttribute(Qt::WA_DeleteOnClose);

    cmbRTR = new QComboBox;
    cmbRTR->setObjectName(QStringLiteral("cmbRTR"));
    imgcmbSRC = new QComboBox;
    imgcmbSRC->setObjectName(QStringLiteral("imgcmbSRC"));
    imgcmbDES = new QComboBox;
    imgcmbDES->setObjectName(QStringLiteral("imgcmbDES"));
    for (QComboBox *box : {imgcmbSRC, imgcmbDES}) {
        box->setIconSize(QSize(24, 24));
        box->setMaxVisibleItems(20);
        box->setMinimumContentsLength(32);
    }

    auto *levels = new QWidget;
    auto *levelRow = new QHBoxLayout(levels);
    for (int k = 0; k < 8; ++k) {
        chkL[k] = new QCheckBox(QString::number(k));
        chkL[k]->setObjectName(QStringLiteral("chkL%1").arg(k + 1));
        chkL[k]->setAccessibleName(QString::number(k));
        levelRow->addWidget(chkL[k]);
    }
    txtCom = new QLineEdit;
    txtCom->setObjectName(QStringLiteral("txtCom"));
    // The switch log keeps Logs::kCommentLimit characters of a comment; with
    // "User = <name>   Comment = " before it, 200 of the operator's fit.
    txtCom->setMaxLength(200);
    chkHigh = new QCheckBox(QStringLiteral("Enable High Priority"));
    chkHigh->setObjectName(QStringLiteral("chkHigh"));
    chkHigh->setAccessibleName(chkHigh->text());
    cmdTake[0] = new QPushButton(QStringLiteral("Take"));
    cmdTake[1] = new QPushButton(QStringLiteral("Take And Done"));
    cmdCANCEL = new QPushButton(QStringLiteral("Close"));
    for (QPushButton *button : {cmdTake[0], cmdTake[1], cmdCANCEL})
        button->setAccessibleName(button->text());

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(framed(QStringLiteral("Router"), cmbRTR));
    layout->addWidget(framed(QStringLiteral("Source (Input)"), imgcmbSRC));
    layout->addWidget(framed(QStringLiteral("Destination (Output)"), imgcmbDES));
    auto *levelFrame = new QGroupBox(QStringLiteral("Active Levels"));
    (new QVBoxLayout(levelFrame))->addWidget(levels);
    layout->addWidget(levelFrame);
    layout->addWidget(framed(QStringLiteral("Comment"), txtCom));
    layout->addWidget(chkHigh);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(cmdTake[0]);
    buttons->addWidget(cmdTake[1]);
    buttons->addStretch();
    buttons->addWidget(cmdCANCEL);
    layout->addLayout(buttons);

    // The overall view's column order, so the list reads like the grid. A
    // column without a router adds nothing, so a list position is never a
    // column number: an item is found by its router.
    for (int i = 1; i <= kColumnCount; ++i) {
        const int r = server.currentSettings().ColumnPosition[i];
        if (!isRouterNumber(r))
            continue;
        const QString name = server.routerTable(r).Name;
        cmbRTR->addItem(name.isEmpty() ? QStringLiteral("Router %1").arg(r) : name, r);
    }

    // Only the operator's own choices act; filling the lists does not.
    connect(cmbRTR, &QComboBox::activated, this, &frmTake::selectRouter);
    connect(imgcmbSRC, &QComboBox::activated, this, &frmTake::sourceChosen);
    connect(imgcmbDES, &QComboBox::activated, this, &frmTake::destinationChosen);
    connect(cmdTake[0], &QPushButton::clicked, this, [this] { take(false); });
    connect(cmdTake[1], &QPushButton::clicked, this, [this] { take(true); });
    connect(cmdCANCEL, &QPushButton::clicked, this, &QWidget::close);

    cmbRTR->setCurrentIndex(std::max(int(cmbRTR->findData(takeRouter)), 0));
    selectRouter();
}

int frmTake::selectedRouter() const { return cmbRTR->currentData().toInt(); }
int frmTake::selectedSource() const { return imgcmbSRC->currentText().trimmed().isEmpty() ? 0 : imgcmbSRC->currentData().toInt(); }
int frmTake::selectedDestination() const { return imgcmbDES->currentText().trimmed().isEmpty() ? 0 : imgcmbDES->currentData().toInt(); }
bool frmTake::keepsOpen() const { return property(kStaysOpen).toBool(); }

void frmTake::selectRouter()
{
    const int r = selectedRouter();
    imgcmbSRC->clear();
    imgcmbDES->clear();
    for (QCheckBox *box : chkL)
        box->setChecked(false);
    if (!isRouterNumber(r))
        return;
    const RouterTable &table = server.routerTable(r);
    const IconList &icons = server.icons();
    // An icon the library lacks leaves its item without a picture.
    const auto icon = [&icons](const QString &key) {
        return icons.contains(key) ? QIcon(QPixmap::fromImage(icons.imageFor(key))) : QIcon();
    };
    for (int n = 1; n <= kPointCount; ++n) {
        if (table.SourceVisible[n])
            imgcmbSRC->addItem(icon(table.SourceIcon[n]),
                               QStringLiteral(" ( ") + table.SourceLabel[n] + QStringLiteral(" )  ") + table.SourceDescription[n], n);
        if (table.DestVisible[n])
            imgcmbDES->addItem(icon(table.DestIcon[n]),
                               QStringLiteral(" ( ") + table.DestLabel[n] + QStringLiteral(" )  ") + table.DestDescription[n], n);
    }
    imgcmbSRC->setCurrentIndex(-1);
    imgcmbDES->setCurrentIndex(-1);
    if (TakeSource >= 1)
        selectSource(TakeSource);
    TakeSource = 0;
    if (TakeDestination > 0)
        imgcmbDES->setCurrentIndex(imgcmbDES->findData(TakeDestination));
    TakeDestination = 0;
    if (imgcmbSRC->count() == 0 || imgcmbDES->count() == 0)
        openMessage(this, QMessageBox::NoIcon, QStringLiteral("ERROR"),
                    QStringLiteral("The router tables for the router you selected are not valid."));
}

void frmTake::selectSource(int source)
{
    const int r = selectedRouter();
    imgcmbSRC->setCurrentIndex(imgcmbSRC->findData(source));
    if (!isRouterNumber(r) || !isPointNumber(source))
        return;
    for (int k = 0; k < 8; ++k)
        chkL[k]->setChecked(server.routerTable(r).SourceLevel[source][k + 1]);
}

void frmTake::sourceChosen()
{
    selectSource(selectedSource());
    cmdTake[1]->setFocus();
}

void frmTake::destinationChosen()
{
    const int r = selectedRouter();
    const int d = selectedDestination();
    const int shown = isRouterNumber(r) ? ShownSource(server.routerTable(r), server.routerState(r), d) : 0;
    if (shown > 0)
        selectSource(shown);
    cmdTake[1]->setFocus();
}

void frmTake::take(bool andDone)
{
    setProperty(kStaysOpen, true);
    TakeRequest request;
    request.router = selectedRouter();
    request.source = selectedSource();
    request.destination = selectedDestination();
    for (int k = 0; k < 8; ++k)
        request.levels[k] = chkL[k]->isChecked();
    request.comment = txtCom->text();
    request.hold = chkHigh->isChecked() ? TakeRequest::Hold::Set : TakeRequest::Hold::Clear;
    const TakeRefusal refusal = CheckConsoleTake(server, request);
    if (refusal != TakeRefusal::None) {
        refuse(request, refusal);
        return;
    }
    if (imgcmbSRC->count() == 0 || imgcmbDES->count() == 0)
        return;
    QMessageBox *box = openMessage(this, QMessageBox::Question, QStringLiteral("Are You Sure?"),
                                   QStringLiteral("Are you sure you would like to switch the router?"),
                                   QMessageBox::Yes | QMessageBox::No);
    connect(box, &QMessageBox::finished, this, [this, box, request, andDone] {
        if (box->clickedButton() == box->button(QMessageBox::Yes))
            execute(request, andDone);
    });
}

void frmTake::refuse(const TakeRequest &take, TakeRefusal refusal)
{
    // A protect names its owner.
    const QString text = refusal == TakeRefusal::Protected
                             ? protectRefusalText(server.protectedBy(take.router, take.destination))
                             : takeRefusalText(refusal);
    openMessage(this, QMessageBox::NoIcon, takeRefusalTitle(refusal), text);
}

void frmTake::execute(const TakeRequest &take, bool andDone)
{
    // Checked again: the server may have been demoted while the question
    // was open.
    if (const TakeRefusal refusal = ExecuteConsoleTake(server, take); refusal != TakeRefusal::None) {
        refuse(take, refusal);
        return;
    }
    if (andDone)
        close();
}

} // namespace marlin
