#include "core/server.h"
#include "ui/connection_status.h"
#include "ui/log_file_model.h"
#include "ui/log_viewer.h"
#include "ui/main_window.h"
#include "test_server.h"
#include "test_support.h"

#include <QAbstractButton>
#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace marlin;

namespace {

template <typename W>
W *activeChild(MDIMain &window)
{
    QMdiSubWindow *sub = window.mdiArea()->activeSubWindow();
    return sub ? qobject_cast<W *>(sub->widget()) : nullptr;
}

QStringList rows(const QAbstractItemModel &model)
{
    QStringList out;
    for (int r = 0; r < model.rowCount(); ++r)
        out.append(model.index(r, 0).data().toString());
    return out;
}

// Every button and frame is found by its caption.
void verifyCaptionsAreNames(const QWidget &window)
{
    for (const QAbstractButton *b : window.findChildren<QAbstractButton *>())
        QCOMPARE(b->accessibleName(), b->text());
    for (const QGroupBox *g : window.findChildren<QGroupBox *>())
        QCOMPARE(g->accessibleName(), g->title());
    QCOMPARE(window.accessibleName().isEmpty() ? window.windowTitle() : window.accessibleName(), window.windowTitle());
}

// The entries of a log file as the viewer shows them, without date and time.
QStringList entries(const QStringList &lines)
{
    QStringList out;
    for (const QString &line : lines)
        out.append(line.mid(21));
    return out;
}

} // namespace

class TestLogWindows : public QObject {
    Q_OBJECT

private slots:
    void viewerShowsAndFollowsADay_data();
    void viewerShowsAndFollowsADay();
    void dayWithoutLog();
    void replacedFileIsReadAgain();
    void largeFileIsIndexedInSlices();
    void findAndLongLines();
    void connectionWindowShowsPanels();
};

void TestLogWindows::viewerShowsAndFollowsADay_data()
{
    QTest::addColumn<bool>("errorLog");
    QTest::newRow("Error Log") << true;
    QTest::newRow("Switch Log") << false;
}

// The real writers fill the day's file; the viewer shows it, Windows-1252
// characters included, and keeps up with what the server appends.
void TestLogWindows::viewerShowsAndFollowsADay()
{
    QFETCH(bool, errorLog);
    QTemporaryDir app;
    testsupport::TestServer server(app.path());
    server.asLoaded(1).Name = QStringLiteral("R\u00E9gie");
    const auto write = [&](const QString &text) {
        if (errorLog)
            server.WriteErrorLog(text);
        else
            server.WriteSwitchLog(true, 1, 1, 1, text);
    };
    write(QStringLiteral("Prix 5 \u20AC"));
    write(QStringLiteral("second"));
    const QString path = errorLog ? server.logFiles().errorLogPath(testsupport::logDay())
                                  : server.logFiles().switchLogPath(testsupport::logDay());
    QVERIFY(testsupport::readFile(path).contains("Prix 5 \x80")); // one byte for the euro sign on disk

    MDIMain window(server);
    window.show();
    QAction *menu = errorLog ? window.menuViewErr : window.menuViewLogSwitch;
    QVERIFY(menu->isEnabled());
    QCOMPARE(menu->text(), errorLog ? QStringLiteral("Error Log") : QStringLiteral("Switch Log"));
    menu->trigger();
    QPointer<LogDayPicker> picker = activeChild<LogDayPicker>(window);
    QVERIFY(picker);
    QCOMPARE(picker->objectName(), errorLog ? QStringLiteral("frmErrorLog") : QStringLiteral("frmSwLog"));
    QCOMPARE(picker->windowTitle(), menu->text());
    QCOMPARE(picker->dateFile->date(), QDate::currentDate());
    QVERIFY(picker->dateFile->calendarPopup());
    verifyCaptionsAreNames(*picker);

    picker->dateFile->setDate(testsupport::logDay());
    picker->cmdLoad->click();
    QPointer<LogFileWindow> viewer = activeChild<LogFileWindow>(window);
    QVERIFY(viewer);
    verifyCaptionsAreNames(*viewer);
    QCOMPARE(viewer->model()->path(), path);
    QTRY_COMPARE(viewer->model()->rowCount(), 2);
    const QStringList shown = entries(rows(*viewer->model()));
    if (errorLog) {
        QCOMPARE(shown, (QStringList{QStringLiteral("Prix 5 \u20AC"), QStringLiteral("second")}));
    } else {
        QVERIFY2(shown.at(0).startsWith(QStringLiteral("Switch command sent.\t Router = R\u00E9gie")), qPrintable(shown.at(0)));
        QVERIFY(shown.at(0).endsWith(QStringLiteral("\tPrix 5 \u20AC")));
    }
    QVERIFY(viewer->cmdEditor->isEnabled());
    // Its own file window leaves the picker open, at opening and whenever
    // the operator goes back and forth between the two.
    QVERIFY(picker);
    QVERIFY(picker->isVisible());
    auto *pickerFrame = qobject_cast<QMdiSubWindow *>(picker->parentWidget());
    auto *viewerFrame = qobject_cast<QMdiSubWindow *>(viewer->parentWidget());
    window.mdiArea()->setActiveSubWindow(pickerFrame);
    window.mdiArea()->setActiveSubWindow(viewerFrame);
    QCoreApplication::processEvents();
    QVERIFY(picker);
    QVERIFY(viewer);

    // More lines than the window can show: it keeps to the end of the file.
    for (int i = 1; i <= 100; ++i)
        write(QStringLiteral("appended while open %1").arg(i));
    QTRY_COMPARE(viewer->model()->rowCount(), 102);
    const QModelIndex last = viewer->model()->index(101);
    QVERIFY(last.data().toString().endsWith(QStringLiteral("appended while open 100")));
    const auto onScreen = [&](const QModelIndex &row) {
        const QRect r = viewer->lstLines->visualRect(row);
        return r.top() >= 0 && r.bottom() < viewer->lstLines->viewport()->height();
    };
    QTRY_VERIFY(onScreen(last));
    QVERIFY(!onScreen(viewer->model()->index(0)));

    // Another window of ours closes the picker, not the file window.
    window.menuViewCon->trigger();
    QTRY_VERIFY(!picker);
    QVERIFY(viewer);
}

// The day before has no log: the viewer says so and creates nothing, and
// shows the first line written on that day when it comes.
void TestLogWindows::dayWithoutLog()
{
    QTemporaryDir app;
    testsupport::TestServer server(app.path());
    server.WriteErrorLog(QStringLiteral("Server Started")); // the Logs folder exists
    const QDate dayBefore = testsupport::logDay().addDays(-1);
    const QString missing = server.logFiles().errorLogPath(dayBefore);

    MDIMain window(server);
    window.show();
    window.menuViewErr->trigger();
    auto *picker = activeChild<frmErrorLog>(window);
    QVERIFY(picker);
    picker->dateFile->setDate(dayBefore);
    picker->cmdLoad->click();
    auto *viewer = activeChild<LogFileWindow>(window);
    QVERIFY(viewer);
    QCOMPARE(viewer->lblState->text(), QStringLiteral("There is no log for 03-03-2026."));
    QCOMPARE(viewer->model()->rowCount(), 0);
    QVERIFY(!viewer->cmdEditor->isEnabled());
    // Two looks at the missing file, and it is still not there.
    QSignalSpy polled(&viewer->model()->timePoll, &QTimer::timeout);
    QTRY_VERIFY(polled.size() >= 2);
    QVERIFY(!QFile::exists(missing));
    QCOMPARE(QDir(server.logFiles().logFolder()).entryList(QDir::Files).size(), 1);

    server.setLogClock([dayBefore] { return QDateTime(dayBefore, QTime(23, 59, 59)); });
    server.WriteErrorLog(QStringLiteral("late line"));
    QTRY_COMPARE(viewer->model()->rowCount(), 1);
    QVERIFY(viewer->model()->index(0).data().toString().endsWith(QStringLiteral("late line")));
    QVERIFY(viewer->cmdEditor->isEnabled());
    QVERIFY(viewer->lblState->text().startsWith(QStringLiteral("1 line")));
}

// An editor's save or a restored backup replaces the file: the viewer
// shows the new one, not a mix of both.
void TestLogWindows::replacedFileIsReadAgain()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Error Log For 20260304.TXT"));
    QVERIFY(testsupport::writeFile(path, "one\r\ntwo\r\nthree\r\n"));
    LogFileModel model(path);
    QTRY_COMPARE(rows(model), (QStringList{QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")}));

    // Longer, and with a line end where the old one ended.
    QVERIFY(testsupport::writeFile(dir.filePath(QStringLiteral("new")), "replaced\r\nfiles\r\nmore\r\n"));
    QVERIFY(QFile::remove(path));
    QVERIFY(QFile::rename(dir.filePath(QStringLiteral("new")), path));
    QTRY_COMPARE(rows(model), (QStringList{QStringLiteral("replaced"), QStringLiteral("files"), QStringLiteral("more")}));

    QVERIFY(testsupport::writeFile(path, "")); // emptied in place
    QTRY_COMPARE(model.rowCount(), 0);
}

// A file of some megabytes: the rows arrive in batches while other events
// keep being served, and the count comes out right.
void TestLogWindows::largeFileIsIndexedInSlices()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Switch Log For 20260304.TXT"));
    QByteArray bytes;
    const QByteArray line = "03-04-2026  10:00:00 Status update.\t Router = Studio A\t Source = Camera 1\t Destination = Monitor 4\r\n";
    const int lineCount = 8 * 1024 * 1024 / int(line.size());
    bytes.reserve(qsizetype(lineCount) * line.size());
    for (int i = 0; i < lineCount - 1; ++i)
        bytes += line;
    bytes += "03-04-2026  23:59:59 Server Closed Down\r\n";
    QVERIFY(testsupport::writeFile(path, bytes));

    LogFileModel model(path);
    QListView view;
    view.setUniformItemSizes(true);
    view.setModel(&model);
    view.resize(600, 400);
    view.show();

    int ticks = 0;
    QList<int> seen;
    QTimer other;
    other.setInterval(0);
    connect(&other, &QTimer::timeout, [&] {
        if (model.indexing()) {
            ++ticks;
            if (seen.isEmpty() || seen.last() != model.rowCount())
                seen.append(model.rowCount());
        }
    });
    other.start();
    QVERIFY(model.indexing());
    QTRY_VERIFY_WITH_TIMEOUT(!model.indexing(), 60000);
    QCOMPARE(model.rowCount(), lineCount);
    // At least one event between two slices, and rows shown before the end.
    QVERIFY2(ticks >= bytes.size() / LogFileModel::kSliceBytes, qPrintable(QString::number(ticks)));
    QVERIFY(!seen.isEmpty() && seen.first() > 0 && seen.first() < lineCount);
    QCOMPARE(model.index(lineCount - 2).data().toString(), QString::fromLatin1(line.chopped(2)));

    // A find through the whole file goes in slices too.
    QSignalSpy found(&model, &LogFileModel::findFinished);
    int findTicks = 0;
    other.disconnect();
    connect(&other, &QTimer::timeout, [&] { findTicks += model.finding() ? 1 : 0; });
    model.find(QStringLiteral("closed down"), 0);
    QTRY_COMPARE_WITH_TIMEOUT(found.size(), 1, 60000);
    QCOMPARE(found.at(0).at(0).toInt(), lineCount - 1);
    // Other events between the slices: many turns of the loop for 8 MB.
    QVERIFY2(findTicks >= 8, qPrintable(QString::number(findTicks)));
}

void TestLogWindows::findAndLongLines()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Error Log For 20260304.TXT"));
    QVERIFY(testsupport::writeFile(path, "alpha\r\nCommunication lost\r\nbeta\r\ncommunication restored\r\n"));
    LogFileWindow viewer(path, testsupport::logDay());
    viewer.show();
    QTRY_COMPARE(viewer.model()->rowCount(), 4);
    // A longer line that comes later widens every row: long lines scroll
    // sideways, whole.
    // Tabs included, as the switch log has them: they take more room on
    // screen than one character each.
    const QByteArray longLine = QByteArray("Status update.\t Router = Studio A").repeated(8);
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    QVERIFY(file.write(longLine + "\r\nshort\r\n") == longLine.size() + 9);
    file.close();
    QTRY_COMPARE(viewer.model()->rowCount(), 6);
    const int longWidth = viewer.lstLines->fontMetrics().size(Qt::TextExpandTabs, QString::fromLatin1(longLine)).width();
    QTRY_VERIFY(viewer.lstLines->visualRect(viewer.model()->index(0)).width() >= longWidth);
    QVERIFY(viewer.lstLines->horizontalScrollBar()->maximum() > 0);
    viewer.txtFind->setText(QStringLiteral("communication"));
    const QList<int> expected{1, 3, 1};
    for (int row : expected) {
        QSignalSpy done(viewer.model(), &LogFileModel::findFinished);
        viewer.cmdFind->click();
        QTRY_COMPARE(done.size(), 1);
        QCOMPARE(viewer.lstLines->currentIndex().row(), row);
    }
    viewer.txtFind->setText(QStringLiteral("gamma"));
    viewer.cmdFind->click();
    QTRY_COMPARE(viewer.lblState->text(), QStringLiteral("\"gamma\" was not found."));
    QCOMPARE(viewer.lstLines->currentIndex().row(), 1);
}

// A panel that connects appears in its row, and the row clears when the
// sweep empties the record after the panel has gone.
void TestLogWindows::connectionWindowShowsPanels()
{
    testsupport::RunningServer install;
    MDIMain window(*install);
    window.show();
    QCOMPARE(window.menuViewCon->text(), QStringLiteral("Client Connection Status"));
    window.menuViewCon->trigger();
    QPointer<frmConStat> status = activeChild<frmConStat>(window);
    QVERIFY(status);
    QCOMPARE(status->windowTitle(), QStringLiteral("Client Connection Status"));
    verifyCaptionsAreNames(*status);
    QCOMPARE(status->timeCon.interval(), 250);
    QVERIFY(status->timeCon.isActive());
    for (int i = 1; i <= kClientCount; ++i) {
        QCOMPARE(status->lblCon[i]->text(), QString::number(i));
        QCOMPARE(status->lblIP[i]->text(), QString());
        QVERIFY(!status->shpCon[i]->filled());
    }

    {
        testsupport::Panel panel(install.port());
        QCOMPARE(panel.ask(testsupport::panelRequest(9, 0x84, 5), 7).size(), 7);
        QVERIFY(install->panelRecords()[1].InUse);
        const QString address = QStringLiteral("127.0.0.1/%1").arg(panel.socket.localPort());
        QTRY_COMPARE(status->lblIP[1]->text(), address);
        QVERIFY(status->shpCon[1]->filled());
        QVERIFY(!status->shpCon[2]->filled());
        panel.socket.disconnectFromHost();
    }
    QTRY_VERIFY((install->panelListener().SweepClients(), !install->panelRecords()[1].InUse));
    QTRY_COMPARE(status->lblIP[1]->text(), QString());
    QVERIFY(!status->shpCon[1]->filled());

    status->cmdClose->click();
    QTRY_VERIFY(!status);
}

QTEST_MAIN(TestLogWindows)
#include "tst_log_windows.moc"
