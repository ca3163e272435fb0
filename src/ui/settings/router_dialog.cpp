#include "router_dialog.h"

#include "config/convert.h"
#include "config/ini_file.h"
#include "core/console_actions.h"
#include "core/server.h"
#include "ui/settings/settings_login.h"
#include "ui/child_windows.h"
#include "ui/messages.h"
#include "ui/settings/step_button.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace marlin {

namespace {

constexpr int kPhysicalCount = 640; // the lists offer physical numbers 1..640
constexpr int kNameLength = 25;
constexpr int kLabelLength = 8;

// Swallows the typed characters the tables do not take. Editing keys
// (arrows, delete, shortcuts) type no character and pass.
class KeyFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress) {
            const QString text = static_cast<QKeyEvent *>(event)->text();
            if (text.size() == 1) {
                const int code = text.at(0).unicode();
                if (code >= 32 && code != 127 && FilterKey(code) == 0)
                    return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

// A control in a frame of its own, named by the frame's caption.
QGroupBox *framed(const QString &caption, QWidget *control)
{
    auto *frame = new QGroupBox(caption);
    control->setAccessibleName(caption);
    (new QVBoxLayout(frame))->addWidget(control);
    return frame;
}

QLineEdit *textBox(const QString &name, int maxLength, QObject *filter)
{
    auto *box = new QLineEdit;
    box->setObjectName(name);
    if (maxLength > 0)
        box->setMaxLength(maxLength);
    if (filter)
        box->installEventFilter(filter);
    return box;
}

QComboBox *numberList(const QString &name)
{
    auto *list = new QComboBox;
    list->setObjectName(name);
    QStringList items;
    items.reserve(kPhysicalCount);
    for (int n = 1; n <= kPhysicalCount; ++n)
        items.append(QString::number(n));
    list->addItems(items);
    // A scrolling list of twenty rows rather than a popup as tall as the
    // screen: 640 numbers are found by scrolling or typing.
    list->setStyleSheet(QStringLiteral("combobox-popup: 0;"));
    list->setMaxVisibleItems(20);
    return list;
}

// The list position of a stored number: none for a number the list does not
// hold, which then stays stored until the operator picks one.
int positionOf(int stored) { return stored >= 1 && stored <= kPhysicalCount ? stored - 1 : -1; }

QComboBox *iconList(const QString &name, const IconList &icons)
{
    auto *list = new QComboBox;
    list->setObjectName(name);
    list->setIconSize(QSize(24, 24));
    list->setStyleSheet(QStringLiteral("combobox-popup: 0;"));
    list->setMaxVisibleItems(12);
    for (const IconList::Icon &icon : icons.all())
        list->addItem(QIcon(QPixmap::fromImage(icon.image)), icon.key, icon.key);
    // Without icon files there is nothing to choose; the rest still works.
    list->setEnabled(list->count() > 0);
    return list;
}

// The first item, then the last item whose key is the stored name: an
// unknown name shows the first icon, as the view draws it, and stays stored.
void selectIcon(QComboBox *list, const QString &stored)
{
    const QString wanted = trimSpaces(stored);
    int chosen = list->count() > 0 ? 0 : -1;
    for (int i = 0; i < list->count(); ++i) {
        if (trimSpaces(list->itemData(i).toString()).compare(wanted, Qt::CaseInsensitive) == 0)
            chosen = i;
    }
    list->setCurrentIndex(chosen);
}

QLabel *numberLabel(const QString &name)
{
    auto *label = new QLabel(QStringLiteral("1"));
    label->setObjectName(name);
    label->setAlignment(Qt::AlignCenter);
    label->setMinimumWidth(40);
    label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    label->setFrameShape(QFrame::Panel);
    label->setFrameShadow(QFrame::Sunken);
    return label;
}

QHBoxLayout *stepper(QToolButton *back, QLabel *number, QToolButton *forward)
{
    auto *row = new QHBoxLayout;
    row->addWidget(back);
    row->addWidget(number);
    row->addWidget(forward);
    row->addStretch();
    return row;
}

} // namespace

frmSetRTR::frmSetRTR(Server &server, QWidget *parent)
    : QWidget(parent), server(server), work(std::make_unique<RouterTableArray>(server.routerTables()))
{
    setObjectName(QStringLiteral("frmSetRTR"));
    setWindowTitle(QStringLiteral("Router Configuration Utility"));
    new SettingsLogin(this, server, SettingsKind::RouterTables);
    setAttribute(Qt::WA_DeleteOnClose);
    setProperty(kStaysOpen, true);
    keyFilter = new KeyFilter(this);

    txtRTRName = textBox(QStringLiteral("txtRTRName"), kNameLength, keyFilter);
    cmdRTRLeft = makeStepButton(Qt::LeftArrow, QStringLiteral("cmdRTRLeft"), QStringLiteral("Previous router"));
    cmdRTRRight = makeStepButton(Qt::RightArrow, QStringLiteral("cmdRTRRight"), QStringLiteral("Next router"));
    lblRTR = numberLabel(QStringLiteral("lblRTR"));
    lblRTR->setAccessibleDescription(QStringLiteral("Router number"));
    frameRtr = new QGroupBox(QStringLiteral("Router # (1-") + QString::number(kRouterCount) + QStringLiteral(")"));
    frameRtr->setObjectName(QStringLiteral("frameRtr"));
    auto *rtrRow = stepper(cmdRTRLeft, lblRTR, cmdRTRRight);
    rtrRow->insertWidget(3, framed(QStringLiteral("Router Name"), txtRTRName), 1);
    frameRtr->setLayout(rtrRow);

    SSTab1 = new QTabWidget;
    SSTab1->setObjectName(QStringLiteral("SSTab1"));
    auto *sources = new QWidget;
    auto *destinations = new QWidget;
    buildSources(sources);
    buildDestinations(destinations);
    SSTab1->addTab(sources, QStringLiteral("Sources (Inputs)"));
    SSTab1->addTab(destinations, QStringLiteral("Destination (Outputs)"));

    cmdExport = new QPushButton(QStringLiteral("Export To Text"));
    cmdOK = new QPushButton(QStringLiteral("Apply and Save"));
    cmdCANCEL = new QPushButton(QStringLiteral("Cancel"));
    cmdExport->setObjectName(QStringLiteral("cmdExport"));
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdCANCEL->setObjectName(QStringLiteral("cmdCANCEL"));
    for (QPushButton *button : {cmdExport, cmdOK, cmdCANCEL})
        button->setAccessibleName(button->text());
    connect(cmdExport, &QPushButton::clicked, this, &frmSetRTR::openExportDialog);
    connect(cmdOK, &QPushButton::clicked, this, &frmSetRTR::apply);
    connect(cmdCANCEL, &QPushButton::clicked, this, &QWidget::close);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(cmdExport);
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCANCEL);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(frameRtr);
    layout->addWidget(SSTab1, 1);
    layout->addLayout(buttons);

    connect(cmdRTRLeft, &QToolButton::clicked, this, [this] { stepRouter(-1); });
    connect(cmdRTRRight, &QToolButton::clicked, this, [this] { stepRouter(1); });
    // Edits follow each control's state, however it changed (typed, clicked,
    // or set through the accessibility interface); showing a record, or a
    // stored text longer than its box, is no edit.
    connect(txtRTRName, &QLineEdit::textChanged, this, [this](const QString &t) {
        if (!filling)
            edit().Name = trimSpaces(t);
    });

    showRouter();
    showSource();
    showDestination();
}

frmSetRTR::~frmSetRTR() = default;

void frmSetRTR::buildSources(QWidget *tab)
{
    const IconList &icons = server.icons();
    cmdSRCLEFT = makeStepButton(Qt::LeftArrow, QStringLiteral("cmdSRCLEFT"), QStringLiteral("Previous source"));
    cmdSRCRight = makeStepButton(Qt::RightArrow, QStringLiteral("cmdSRCRight"), QStringLiteral("Next source"));
    lblSRC = numberLabel(QStringLiteral("lblSRC"));
    lblSRC->setAccessibleDescription(QStringLiteral("Source number"));
    chkSRC = new QCheckBox(QStringLiteral("Show This Source "));
    chkSRC->setObjectName(QStringLiteral("chkSRC"));
    cmbSRC = numberList(QStringLiteral("cmbSRC"));
    imgSRC = iconList(QStringLiteral("imgSRC"), icons);
    txtSRCLBL = textBox(QStringLiteral("txtSRCLBL"), kLabelLength, keyFilter);
    txtSRCDESC = textBox(QStringLiteral("txtSRCDESC"), kNameLength, keyFilter);
    txtSRCHL = textBox(QStringLiteral("txtSRCHL"), kNameLength, nullptr);

    auto *levels = new QGroupBox(QStringLiteral("Active Levels"));
    auto *levelGrid = new QGridLayout(levels);
    // The operator numbers the levels 0..7; flag L sits under number L - 1.
    for (int level = 1; level <= kLevelCount; ++level) {
        auto *number = new QLabel(QString::number(level - 1));
        number->setAlignment(Qt::AlignCenter);
        chkL[level] = new QCheckBox;
        chkL[level]->setObjectName(QStringLiteral("chkL%1").arg(level));
        chkL[level]->setAccessibleName(QStringLiteral("Level %1").arg(level - 1));
        levelGrid->addWidget(number, 0, level - 1, Qt::AlignHCenter);
        levelGrid->addWidget(chkL[level], 1, level - 1, Qt::AlignHCenter);
        connect(chkL[level], &QCheckBox::toggled, this, [this, level](bool on) {
            if (!filling)
                edit().SourceLevel[source][level] = on;
        });
    }

    auto *details = new QGroupBox(QStringLiteral("Details"));
    auto *grid = new QGridLayout(details);
    grid->addWidget(framed(QStringLiteral("Visable"), chkSRC), 0, 0);
    chkSRC->setAccessibleName(chkSRC->text());
    grid->addWidget(framed(QStringLiteral("Physical Router Input #"), cmbSRC), 0, 1);
    grid->addWidget(framed(QStringLiteral("Icon"), imgSRC), 0, 2);
    grid->addWidget(framed(QStringLiteral("Physical Router Input Label"), txtSRCLBL), 1, 0);
    grid->addWidget(framed(QStringLiteral("Source Description"), txtSRCDESC), 1, 1, 1, 2);
    grid->addWidget(framed(QStringLiteral("Source Hyper Link"), txtSRCHL), 2, 0, 1, 3);
    grid->addWidget(levels, 3, 0, 1, 3);

    auto *layout = new QVBoxLayout(tab);
    auto *heading = new QLabel(QStringLiteral("Sources (Inputs)"));
    layout->addWidget(heading);
    layout->addLayout(stepper(cmdSRCLEFT, lblSRC, cmdSRCRight));
    layout->addWidget(details);
    layout->addStretch();

    connect(cmdSRCLEFT, &QToolButton::clicked, this, [this] { stepSource(-1); });
    connect(cmdSRCRight, &QToolButton::clicked, this, [this] { stepSource(1); });
    connect(chkSRC, &QCheckBox::toggled, this, [this](bool on) {
        if (!filling)
            edit().SourceVisible[source] = on;
    });
    connect(cmbSRC, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (!filling && i >= 0)
            edit().SourcePhysical[source] = qint16(i + 1);
    });
    connect(imgSRC, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (!filling && i >= 0)
            edit().SourceIcon[source] = trimSpaces(imgSRC->itemData(i).toString());
    });
    // Picking the icon shown for an unknown stored name stores its key too.
    connect(imgSRC, &QComboBox::activated, this, [this](int i) {
        edit().SourceIcon[source] = trimSpaces(imgSRC->itemData(i).toString());
        cmdOK->setFocus();
    });
    connect(txtSRCLBL, &QLineEdit::textChanged, this, [this](const QString &t) {
        if (!filling)
            edit().SourceLabel[source] = trimSpaces(t);
    });
    connect(txtSRCDESC, &QLineEdit::textChanged, this, [this](const QString &t) {
        if (!filling)
            edit().SourceDescription[source] = trimSpaces(t);
    });
    connect(txtSRCHL, &QLineEdit::textChanged, this, [this](const QString &t) {
        if (!filling)
            edit().SourceHyperLink[source] = trimSpaces(t);
    });
}

void frmSetRTR::buildDestinations(QWidget *tab)
{
    const IconList &icons = server.icons();
    cmdDESLeft = makeStepButton(Qt::LeftArrow, QStringLiteral("cmdDESLeft"), QStringLiteral("Previous destination"));
    cmdDESRight = makeStepButton(Qt::RightArrow, QStringLiteral("cmdDESRight"), QStringLiteral("Next destination"));
    lblDES = numberLabel(QStringLiteral("lblDES"));
    lblDES->setAccessibleDescription(QStringLiteral("Destination number"));
    chkDES = new QCheckBox(QStringLiteral("Show This Destination "));
    chkDES->setObjectName(QStringLiteral("chkDES"));
    cmbDES = numberList(QStringLiteral("cmbDES"));
    imgDES = iconList(QStringLiteral("imgDES"), icons);
    txtDESLBL = textBox(QStringLiteral("txtDESLBL"), kLabelLength, keyFilter);
    txtDESDESC = textBox(QStringLiteral("txtDESDESC"), kNameLength, keyFilter);
    txtDESHL = textBox(QStringLiteral("txtDESHL"), kNameLength, nullptr);
    cmbDefSrc = numberList(QStringLiteral("cmbDefSrc"));

    auto *details = new QGroupBox(QStringLiteral("Details"));
    auto *grid = new QGridLayout(details);
    grid->addWidget(framed(QStringLiteral("Visable"), chkDES), 0, 0);
    chkDES->setAccessibleName(chkDES->text());
    grid->addWidget(framed(QStringLiteral("Physical Router Output #"), cmbDES), 0, 1);
    grid->addWidget(framed(QStringLiteral("Icon"), imgDES), 0, 2);
    grid->addWidget(framed(QStringLiteral("Physical Router Ouput Label"), txtDESLBL), 1, 0);
    grid->addWidget(framed(QStringLiteral("Destination Description"), txtDESDESC), 1, 1, 1, 2);
    grid->addWidget(framed(QStringLiteral("Destination Hyper Link"), txtDESHL), 2, 0, 1, 2);
    grid->addWidget(framed(QStringLiteral("Default Source"), cmbDefSrc), 2, 2);

    auto *layout = new QVBoxLayout(tab);
    layout->addWidget(new QLabel(QStringLiteral("Destinations (Outputs)")));
    layout->addLayout(stepper(cmdDESLeft, lblDES, cmdDESRight));
    layout->addWidget(details);
    layout->addStretch();

    connect(cmdDESLeft, &QToolButton::clicked, this, [this] { stepDestination(-1); });
    connect(cmdDESRight, &QToolButton::clicked, this, [this] { stepDestination(1); });
    connect(chkDES, &QCheckBox::toggled, this, [this](bool on) {
        if (!filling)
            edit().DestVisible[destination] = on;
    });
    connect(cmbDES, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (!filling && i >= 0)
            edit().DestPhysical[destination] = qint16(i + 1);
    });
    connect(cmbDefSrc, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (!filling && i >= 0)
            edit().DestDefaultSource[destination] = qint16(i + 1);
    });
    connect(imgDES, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (!filling && i >= 0)
            edit().DestIcon[destination] = trimSpaces(imgDES->itemData(i).toString());
    });
    // Picking the icon shown for an unknown stored name stores its key too.
    connect(imgDES, &QComboBox::activated, this, [this](int i) {
        edit().DestIcon[destination] = trimSpaces(imgDES->itemData(i).toString());
        cmdOK->setFocus();
    });
    connect(txtDESLBL, &QLineEdit::textChanged, this, [this](const QString &t) {
        if (!filling)
            edit().DestLabel[destination] = trimSpaces(t);
    });
    connect(txtDESDESC, &QLineEdit::textChanged, this, [this](const QString &t) {
        if (!filling)
            edit().DestDescription[destination] = trimSpaces(t);
    });
    connect(txtDESHL, &QLineEdit::textChanged, this, [this](const QString &t) {
        if (!filling)
            edit().DestHyperLink[destination] = trimSpaces(t);
    });
}

const RouterTable &frmSetRTR::workTable(int r) const { return (*work)[std::size_t(r)]; }

RouterTable &frmSetRTR::edit()
{
    edited.set(std::size_t(router));
    return (*work)[std::size_t(router)];
}

void frmSetRTR::stepRouter(int delta)
{
    const int next = router + delta;
    if (!isRouterNumber(next))
        return;
    router = next;
    source = 1;
    destination = 1;
    lblRTR->setText(QString::number(router));
    lblSRC->setText(QStringLiteral("1"));
    lblDES->setText(QStringLiteral("1"));
    showRouter();
    showSource();
    showDestination();
}

void frmSetRTR::stepSource(int delta)
{
    const int next = source + delta;
    if (!isPointNumber(next))
        return;
    source = next;
    lblSRC->setText(QString::number(source));
    showSource();
}

void frmSetRTR::stepDestination(int delta)
{
    const int next = destination + delta;
    if (!isPointNumber(next))
        return;
    destination = next;
    lblDES->setText(QString::number(destination));
    showDestination();
}

void frmSetRTR::showRouter()
{
    const QScopedValueRollback<bool> fill(filling, true);
    txtRTRName->setText(workTable(router).Name);
}

void frmSetRTR::showSource()
{
    const QScopedValueRollback<bool> fill(filling, true);
    const RouterTable &t = workTable(router);
    const auto s = std::size_t(source);
    chkSRC->setChecked(t.SourceVisible[s]);
    selectIcon(imgSRC, t.SourceIcon[s]);
    txtSRCDESC->setText(t.SourceDescription[s]);
    txtSRCHL->setText(t.SourceHyperLink[s]);
    cmbSRC->setCurrentIndex(positionOf(t.SourcePhysical[s]));
    txtSRCLBL->setText(t.SourceLabel[s]);
    for (int level = 1; level <= kLevelCount; ++level)
        chkL[level]->setChecked(t.SourceLevel[s][level]);
}

void frmSetRTR::showDestination()
{
    const QScopedValueRollback<bool> fill(filling, true);
    const RouterTable &t = workTable(router);
    const auto d = std::size_t(destination);
    chkDES->setChecked(t.DestVisible[d]);
    selectIcon(imgDES, t.DestIcon[d]);
    txtDESDESC->setText(t.DestDescription[d]);
    txtDESHL->setText(t.DestHyperLink[d]);
    cmbDES->setCurrentIndex(positionOf(t.DestPhysical[d]));
    txtDESLBL->setText(t.DestLabel[d]);
    cmbDefSrc->setCurrentIndex(positionOf(t.DestDefaultSource[d]));
}

void frmSetRTR::apply()
{
    if (!SettingsLogin::mayApply(this))
        return;
    if (const QString refusal = RouterTextRefusal(*work, edited); !refusal.isEmpty()) {
        openMessage(this, QMessageBox::Warning, QStringLiteral("Router Configuration Utility"), refusal);
        return;
    }
    const QStringList failures = server.apply(TablesEdit{*work, edited});
    if (failures.isEmpty()) {
        close();
        return;
    }
    // The tables written are in force; the window keeps every edit so the
    // operator can try again once the folder takes writes.
    openMessage(this, QMessageBox::Critical, QStringLiteral("Router Configuration Utility"),
                QStringLiteral("These router tables were not saved; the others are saved and in force.\n\n")
                    + failures.join(QLatin1Char('\n')));
}

QFileDialog *frmSetRTR::openExportDialog()
{
    auto *dialog = new QFileDialog(this, QStringLiteral("Export Router") + Str(router) + QStringLiteral(" Table"));
    dialog->setObjectName(QStringLiteral("CommonDialog1"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(QStringLiteral("Text File (*.TXT)"));
    dialog->setDefaultSuffix(QStringLiteral("TXT"));
    dialog->setDirectory(server.appDir());
    // Window-modal: the router shown cannot change while it is open.
    connect(dialog, &QFileDialog::fileSelected, this, &frmSetRTR::exportTo);
    dialog->open();
    return dialog;
}

bool frmSetRTR::exportTo(const QString &path)
{
    if (ExportRouterTable(path, server.routerTable(router)))
        return true;
    openMessage(this, QMessageBox::Critical, QStringLiteral("Export Router") + Str(router) + QStringLiteral(" Table"),
                QStringLiteral("The table could not be written to %1.").arg(path));
    return false;
}

} // namespace marlin
