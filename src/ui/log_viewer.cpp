#include "log_viewer.h"

#include "config/logs.h"
#include "ui/child_windows.h"
#include "ui/log_file_model.h"

#include <QDateEdit>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMetaMethod>
#include <QPushButton>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QUrl>
#include <QVBoxLayout>

namespace marlin {

namespace {
// Desktop test tools and screen readers find a control by its caption.
template <typename W>
W *named(W *widget, const QString &caption)
{
    widget->setAccessibleName(caption);
    return widget;
}

QString dayText(const QDate &d) { return d.toString(QStringLiteral("MM-dd-yyyy")); }

// Every row as wide as the longest line, so long lines scroll sideways
// instead of being cut short: a list of uniform rows measures one row only,
// and that must be the widest.
class LongestLineDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const auto *lines = qobject_cast<const LogFileModel *>(index.model());
        const int longest = lines ? lines->longestRow() : -1;
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        if (longest >= 0) {
            const QString text = lines->index(longest).data().toString();
            const int width = option.fontMetrics.size(Qt::TextExpandTabs, text).width();
            size.setWidth(std::max(size.width(), width + 4 * option.fontMetrics.averageCharWidth()));
        }
        return size;
    }
};
} // namespace

LogFileWindow::LogFileWindow(const QString &path, const QDate &day, QWidget *parent)
    : QWidget(parent), day(day)
{
    setObjectName(QStringLiteral("LogFileWindow"));
    setWindowTitle(QFileInfo(path).fileName());
    setAttribute(Qt::WA_DeleteOnClose);
    // A log is read beside the other windows, following the file.
    setProperty(kStaysOpen, true);

    lines = new LogFileModel(path, this);
    lblState = named(new QLabel, QStringLiteral("State"));
    lstLines = named(new QListView, windowTitle());
    lstLines->setModel(lines);
    lstLines->setUniformItemSizes(true);
    lstLines->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lstLines->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    lstLines->setSelectionMode(QAbstractItemView::SingleSelection);
    lstLines->setItemDelegate(new LongestLineDelegate(lstLines));
    lstLines->setTextElideMode(Qt::ElideNone);

    txtFind = named(new QLineEdit, QStringLiteral("Find"));
    txtFind->setPlaceholderText(QStringLiteral("Find"));
    cmdFind = named(new QPushButton(QStringLiteral("Find Next")), QStringLiteral("Find Next"));
    cmdEditor = named(new QPushButton(QStringLiteral("Open in Text Editor")), QStringLiteral("Open in Text Editor"));
    connect(txtFind, &QLineEdit::returnPressed, this, &LogFileWindow::findNext);
    connect(cmdFind, &QPushButton::clicked, this, &LogFileWindow::findNext);
    connect(cmdEditor, &QPushButton::clicked, this, &LogFileWindow::openInEditor);

    // A million rows take the list tens of milliseconds to lay out in one
    // go; in batches the panels are served between them.
    lstLines->setLayoutMode(QListView::Batched);
    lstLines->setBatchSize(kLayoutBatch);
    // Follow the end while the operator is there: the list grows a batch
    // at a time, so keep to the bottom whenever the range grows, until the
    // operator scrolls up (or a find takes them up).
    QScrollBar *bar = lstLines->verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this, [this, bar](int value) { followEnd = value == bar->maximum(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int max) {
        if (followEnd)
            bar->setValue(max);
    });
    connect(lines, &QAbstractItemModel::rowsInserted, this, &LogFileWindow::showState);
    connect(lines, &QAbstractItemModel::modelReset, this, &LogFileWindow::showState);
    connect(lines, &LogFileModel::stateChanged, this, &LogFileWindow::showState);
    connect(lines, &LogFileModel::findFinished, this, &LogFileWindow::showFound);

    auto *findRow = new QHBoxLayout;
    findRow->addWidget(txtFind, 1);
    findRow->addWidget(cmdFind);
    findRow->addSpacing(12);
    findRow->addWidget(cmdEditor);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lblState);
    layout->addWidget(lstLines, 1);
    layout->addLayout(findRow);
    resize(760, 420);
    // Typing goes to the find box: a list that took the focus would make
    // its first row current, and a find would start below it.
    setFocusProxy(txtFind);
    showState();
}

QString LogFileWindow::noLogText(const QDate &day)
{
    return QStringLiteral("There is no log for %1.").arg(dayText(day));
}

void LogFileWindow::showState()
{
    const bool exists = lines->fileExists();
    cmdEditor->setEnabled(exists);
    if (!exists) {
        lblState->setText(noLogText(day));
        return;
    }
    const int n = lines->rowCount();
    const QString count = n == 1 ? QStringLiteral("1 line") : QStringLiteral("%1 lines").arg(n);
    lblState->setText(lines->indexing() ? QStringLiteral("%1 (reading...)  %2").arg(count, lines->path())
                                        : QStringLiteral("%1  %2").arg(count, lines->path()));
}

void LogFileWindow::findNext()
{
    const QString text = txtFind->text();
    if (text.isEmpty())
        return;
    const QModelIndex current = lstLines->currentIndex();
    lblState->setText(QStringLiteral("Looking for \"%1\"...").arg(text));
    lines->find(text, current.isValid() ? current.row() + 1 : 0);
}

void LogFileWindow::showFound(int row)
{
    if (row < 0) {
        lblState->setText(QStringLiteral("\"%1\" was not found.").arg(txtFind->text()));
        return;
    }
    const QModelIndex found = lines->index(row);
    lstLines->setCurrentIndex(found);
    lstLines->scrollTo(found, QAbstractItemView::PositionAtCenter);
    showState();
}

void LogFileWindow::openInEditor()
{
    // Through the desktop, never a shell: a file name is never a command.
    QDesktopServices::openUrl(QUrl::fromLocalFile(lines->path()));
}

LogDayPicker::LogDayPicker(const Logs &logs, Kind kind, QWidget *parent)
    : QWidget(parent), logs(logs), kind(kind)
{
    const QString caption = kind == Kind::ErrorLog ? QStringLiteral("Error Log") : QStringLiteral("Switch Log");
    setWindowTitle(caption);
    setAccessibleName(caption);
    setAttribute(Qt::WA_DeleteOnClose);

    auto *frame = named(new QGroupBox(QStringLiteral("Date")), QStringLiteral("Date"));
    dateFile = named(new QDateEdit(QDate::currentDate()), QStringLiteral("Date"));
    dateFile->setObjectName(QStringLiteral("dateFile"));
    dateFile->setCalendarPopup(true);
    dateFile->setDisplayFormat(QStringLiteral("MM-dd-yyyy"));
    auto *frameLayout = new QHBoxLayout(frame);
    frameLayout->addWidget(dateFile);

    cmdLoad = named(new QPushButton(QStringLiteral("Load")), QStringLiteral("Load"));
    cmdLoad->setObjectName(QStringLiteral("cmdLoad"));
    cmdLoad->setDefault(true);
    connect(cmdLoad, &QPushButton::clicked, this, &LogDayPicker::load);

    auto *layout = new QHBoxLayout(this);
    layout->addWidget(frame, 1);
    layout->addWidget(cmdLoad, 0, Qt::AlignBottom);
}

QString LogDayPicker::pathOf(const QDate &day) const
{
    return kind == Kind::ErrorLog ? logs.errorLogPath(day) : logs.switchLogPath(day);
}

void LogDayPicker::load()
{
    const QDate day = dateFile->date();
    auto *window = new LogFileWindow(pathOf(day), day);
    if (isSignalConnected(QMetaMethod::fromSignal(&LogDayPicker::fileWindowOpened)))
        emit fileWindowOpened(window);
    else
        window->show();
}

frmErrorLog::frmErrorLog(const Logs &logs, QWidget *parent) : LogDayPicker(logs, Kind::ErrorLog, parent)
{
    setObjectName(QStringLiteral("frmErrorLog"));
}

frmSwLog::frmSwLog(const Logs &logs, QWidget *parent) : LogDayPicker(logs, Kind::SwitchLog, parent)
{
    setObjectName(QStringLiteral("frmSwLog"));
}

} // namespace marlin
