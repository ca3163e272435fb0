#include "clients/client_table.h"
#include "console_desk.h"
#include "core/console_actions.h"
#include "core/server.h"
#include "router/router_file.h"
#include "test_support.h"
#include "ui/main_window.h"
#include "ui/settings/router_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QToolButton>
#include <QtTest>

using namespace marlin;
using namespace testsupport;

namespace {

// The console with the utility open over a running server, and a panel's
// client record to see whether the panels were told.
class Utility {
public:
    explicit Utility(const std::function<void(const QString &)> &prepare = {})
        : desk("[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n", prepare)
    {
        TestServer &s = desk.server();
        panel = FindOrCreateClient(s.panelTable(), s.statesAsReported(), 5, QStringLiteral("10.0.0.9"), 4000, 0);
        s.panelTable()[panel].PendingFlags = {};
        [[maybe_unused]] const bool loggedIn = desk.logIn();
        dialog = desk.window->openRouterUtility();
    }
    TestServer &server() { return desk.server(); }
    QString path(int r) const { return RouterTablePath(desk.path(), r); }
    bool panelsTold() { return server().panelRecords()[panel].PendingFlags[FlagTablesChanged - 1] != 0; }
    // Types into a box as the operator does: everything in it replaced.
    static void type(QLineEdit *box, const QString &text)
    {
        box->selectAll();
        QTest::keyClick(box, Qt::Key_Backspace);
        QTest::keyClicks(box, text);
    }

    Desk desk;
    int panel = 0;
    QPointer<frmSetRTR> dialog;
};

RouterTable defaultTable(int r)
{
    RouterTable t;
    CreateDefaultRouterTable(t, r);
    return t;
}

bool saveTable(const QString &dir, int r, const std::function<void(RouterTable &)> &change)
{
    RouterTable t = defaultTable(r);
    change(t);
    return SaveRouterTable(dir, r, t);
}

QStringList tableFiles(const QString &dir)
{
    return QDir(dir).entryList({QStringLiteral("RTR*.BIN")}, QDir::Files);
}

} // namespace

class TestRouterUtility : public QObject {
    Q_OBJECT

private slots:
    void filterKey_data();
    void filterKey();
    void applyWritesEveryTableAndTellsThePanels();
    void cancelAndCloseBoxDropEverything_data();
    void cancelAndCloseBoxDropEverything();
    void navigationAndHeldArrows();
    void storedValuesTheListsCannotShow();
    void noIconFiles();
    void exportWritesTheTableInForce();
    void tablesThatCannotBeWritten();
};

void TestRouterUtility::filterKey_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("taken");
    const QList<std::pair<int, bool>> rows = {
        {8, true},    {9, false},   {13, false},  {31, false},  {32, true},   {33, true},  {34, false},
        {35, true},   {43, true},   {44, false},  {45, true},   {47, true},   {48, true},  {90, true},
        {91, false},  {92, false},  {93, false},  {94, false},  {95, true},   {96, false}, {97, true},
        {122, true},  {123, false}, {126, false}, {127, false}, {233, false}, {0, false},
    };
    for (const auto &[code, taken] : rows)
        QTest::addRow("%d", code) << code << taken;
}

void TestRouterUtility::filterKey()
{
    QFETCH(int, code);
    QFETCH(bool, taken);
    QCOMPARE(FilterKey(code), taken ? code : 0);
}

void TestRouterUtility::applyWritesEveryTableAndTellsThePanels()
{
    Utility u([](const QString &dir) {
        QVERIFY(saveTable(dir, 3, [](RouterTable &t) { t.Name = QStringLiteral("Old"); }));
    });
    frmSetRTR *d = u.dialog;
    QCOMPARE(d->frameRtr->title(), QStringLiteral("Router # (1-96)"));
    QCOMPARE(d->lblRTR->text(), QStringLiteral("1"));

    d->cmdRTRRight->click();
    d->cmdRTRRight->click();
    QCOMPARE(d->lblRTR->text(), QStringLiteral("3"));
    QCOMPARE(d->txtRTRName->text(), QStringLiteral("Old"));

    Utility::type(d->txtRTRName, QStringLiteral("  Studio A  "));
    QCOMPARE(d->txtRTRName->text(), QStringLiteral("  Studio A  ")); // the box keeps what was typed
    d->cmdSRCRight->click();
    // Filtered characters are swallowed, and the label stops at 8.
    Utility::type(d->txtSRCLBL, QStringLiteral("AB,C\"D[E]F^G`H\\IJ"));
    QCOMPARE(d->txtSRCLBL->text(), QStringLiteral("ABCDEFGH"));
    Utility::type(d->txtSRCDESC, QStringLiteral("Camera two on the jib arm at stage left"));
    QCOMPARE(d->txtSRCDESC->text().size(), 25);
    Utility::type(d->txtSRCHL, QStringLiteral("a,b\"c"));
    d->chkSRC->click();
    d->chkL[3]->click();
    QTest::keyClick(d->cmbSRC, Qt::Key_Down);
    d->SSTab1->setCurrentIndex(1);
    for (int i = 0; i < 4; ++i)
        d->cmdDESRight->click();
    Utility::type(d->txtDESLBL, QStringLiteral("MON 5"));
    QTest::keyClick(d->cmbDefSrc, Qt::Key_Down);
    d->chkDES->click();

    RouterTable expected = defaultTable(3);
    expected.Name = QStringLiteral("Studio A");
    expected.SourceLabel[2] = QStringLiteral("ABCDEFGH");
    expected.SourceDescription[2] = QStringLiteral("Camera two on the jib arm");
    expected.SourceHyperLink[2] = QStringLiteral("a,b\"c");
    expected.SourceVisible[2] = !expected.SourceVisible[2];
    expected.SourceLevel[2][3] = !expected.SourceLevel[2][3];
    expected.SourcePhysical[2] = qint16(expected.SourcePhysical[2] + 1);
    expected.DestLabel[5] = QStringLiteral("MON 5");
    expected.DestDefaultSource[5] = qint16(expected.DestDefaultSource[5] + 1);
    expected.DestVisible[5] = !expected.DestVisible[5];
    QCOMPARE(d->workTable(3), expected);
    // Nothing is in force before "Apply and Save".
    QCOMPARE(u.server().routerTable(3).Name, QStringLiteral("Old"));
    QCOMPARE(tableFiles(u.desk.path()), QStringList{QStringLiteral("RTR3.BIN")});

    d->cmdOK->click();
    QTRY_VERIFY(!u.dialog);
    QCOMPARE(tableFiles(u.desk.path()).size(), kRouterCount);
    QCOMPARE(readFile(u.path(3)), SerializeRouterTable(expected));
    QCOMPARE(u.server().routerTable(3), expected);
    // Routers that had no file get their default table.
    QCOMPARE(readFile(u.path(96)), SerializeRouterTable(defaultTable(96)));
    QVERIFY(u.panelsTold());
}

void TestRouterUtility::cancelAndCloseBoxDropEverything_data()
{
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("Cancel") << false;
    QTest::newRow("close box") << true;
}

void TestRouterUtility::cancelAndCloseBoxDropEverything()
{
    QFETCH(bool, closeBox);
    Utility u;
    frmSetRTR *d = u.dialog;
    d->cmdRTRRight->click();
    d->cmdRTRRight->click();
    Utility::type(d->txtRTRName, QStringLiteral("Edited"));
    d->chkSRC->click();
    const RouterTable before = u.server().routerTable(3);

    // The window is modeless: working in another one leaves it and its edits.
    frmRtrView *view = u.desk.window->openRouterView();
    QCOMPARE(u.desk.window->findChild<QMdiArea *>()->activeSubWindow()->widget(), view);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(u.dialog);
    QCOMPARE(u.dialog->workTable(3).Name, QStringLiteral("Edited"));

    if (closeBox)
        qobject_cast<QMdiSubWindow *>(d->parentWidget())->close();
    else
        d->cmdCANCEL->click();
    QTRY_VERIFY(!u.dialog);
    QCOMPARE(u.server().routerTable(3), before);
    QVERIFY(tableFiles(u.desk.path()).isEmpty());
    QVERIFY(!u.panelsTold());

    // The next opening starts from the tables in force, at router 1.
    frmSetRTR *again = u.desk.window->openRouterUtility();
    QCOMPARE(again->currentRouter(), 1);
    QCOMPARE(again->workTable(3), before);
}

void TestRouterUtility::navigationAndHeldArrows()
{
    Utility u;
    frmSetRTR *d = u.dialog;
    d->cmdSRCLEFT->click(); // nothing below 1
    QCOMPARE(d->lblSRC->text(), QStringLiteral("1"));
    for (int i = 0; i < 249; ++i)
        d->cmdSRCRight->click();
    QCOMPARE(d->lblSRC->text(), QStringLiteral("250"));
    d->SSTab1->setCurrentIndex(1);
    d->cmdDESRight->click();
    d->SSTab1->setCurrentIndex(0);

    // Held: it steps on by itself and stops at 256, however long it is held.
    QSignalSpy repeats(d->cmdSRCRight, &QToolButton::clicked);
    QTest::mousePress(d->cmdSRCRight, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(d->lblSRC->text(), QStringLiteral("256"), 10000);
    const qsizetype atEnd = repeats.size();
    QTRY_VERIFY_WITH_TIMEOUT(repeats.size() >= atEnd + 5, 10000);
    QTest::mouseRelease(d->cmdSRCRight, Qt::LeftButton);
    QCOMPARE(d->lblSRC->text(), QStringLiteral("256"));
    QCOMPARE(d->currentSource(), 256);

    // An edit on the router left is kept; the next router starts at 1 and 1.
    Utility::type(d->txtRTRName, QStringLiteral("First"));
    d->cmdRTRRight->click();
    QCOMPARE(d->lblRTR->text(), QStringLiteral("2"));
    QCOMPARE(d->lblSRC->text(), QStringLiteral("1"));
    QCOMPARE(d->lblDES->text(), QStringLiteral("1"));
    QCOMPARE(d->currentSource(), 1);
    QCOMPARE(d->currentDestination(), 1);
    d->cmdRTRLeft->click();
    QCOMPARE(d->txtRTRName->text(), QStringLiteral("First"));
    QCOMPARE(d->workTable(1).Name, QStringLiteral("First"));
    for (int i = 0; i < 120; ++i)
        d->cmdRTRRight->click();
    QCOMPARE(d->currentRouter(), kRouterCount);
}

void TestRouterUtility::storedValuesTheListsCannotShow()
{
    const auto prepare = [](const QString &dir) {
        QVERIFY(QDir(dir).mkdir(QStringLiteral("ICONS")));
        QImage picture(16, 16, QImage::Format_ARGB32);
        picture.fill(Qt::red);
        QVERIFY(picture.save(dir + QStringLiteral("/ICONS/CAM1.ICO"), "ICO"));
        QVERIFY(picture.save(dir + QStringLiteral("/ICONS/VTR.ICO"), "ICO"));
        QVERIFY(saveTable(dir, 1, [](RouterTable &t) {
            t.SourcePhysical[1] = 0;
            t.SourcePhysical[2] = 700;
            t.SourceIcon[2] = QStringLiteral("GONE.ICO");
            t.SourceIcon[3] = QStringLiteral(" vtr.ico ");
            t.DestPhysical[1] = -3;
            t.DestDefaultSource[1] = 641;
            t.DestIcon[1] = QStringLiteral("GONE.ICO");
            t.SourceLabel[4] = QStringLiteral("LONGER THAN 8");
        }));
    };
    Utility u(prepare);
    frmSetRTR *d = u.dialog;
    QCOMPARE(d->imgSRC->count(), 2);
    QCOMPARE(d->cmbSRC->count(), 640);
    QCOMPARE(d->cmbSRC->currentIndex(), -1);
    QCOMPARE(d->cmbDES->currentIndex(), -1);
    QCOMPARE(d->cmbDefSrc->currentIndex(), -1);
    d->cmdSRCRight->click();
    QCOMPARE(d->cmbSRC->currentIndex(), -1);
    QCOMPARE(d->imgSRC->currentText(), QStringLiteral("CAM1.ICO")); // unknown: the first icon
    d->cmdSRCRight->click();
    QCOMPARE(d->imgSRC->currentText(), QStringLiteral("VTR.ICO"));
    d->cmdSRCRight->click();
    // An edit elsewhere on the router rewrites none of what was only shown,
    // not even a label longer than its box.
    Utility::type(d->txtRTRName, QStringLiteral("Kept"));
    d->cmdSRCLEFT->click();
    d->cmdSRCLEFT->click();
    QTest::keyClick(d->imgSRC, Qt::Key_Down); // the operator picks an icon for source 2
    d->cmdOK->click();
    QTRY_VERIFY(!u.dialog);

    RouterTable stored;
    QVERIFY(ReadRouterTable(u.desk.path(), 1, stored));
    QCOMPARE(stored.Name, QStringLiteral("Kept"));
    QCOMPARE(stored.SourcePhysical[1], qint16(0));
    QCOMPARE(stored.SourcePhysical[2], qint16(700));
    QCOMPARE(stored.SourceIcon[2], QStringLiteral("VTR.ICO"));
    QCOMPARE(stored.SourceIcon[3], QStringLiteral(" vtr.ico "));
    QCOMPARE(stored.SourceLabel[4], QStringLiteral("LONGER THAN 8"));
    QCOMPARE(stored.DestPhysical[1], qint16(-3));
    QCOMPARE(stored.DestDefaultSource[1], qint16(641));
    QCOMPARE(stored.DestIcon[1], QStringLiteral("GONE.ICO"));
}

void TestRouterUtility::noIconFiles()
{
    Utility u;
    frmSetRTR *d = u.dialog;
    QCOMPARE(d->imgSRC->count(), 0);
    QVERIFY(!d->imgSRC->isEnabled());
    QVERIFY(!d->imgDES->isEnabled());
    Utility::type(d->txtRTRName, QStringLiteral("No icons"));
    d->cmdOK->click();
    QTRY_VERIFY(!u.dialog);
    QCOMPARE(u.server().routerTable(1).Name, QStringLiteral("No icons"));
}

void TestRouterUtility::exportWritesTheTableInForce()
{
    Utility u;
    frmSetRTR *d = u.dialog;
    for (int i = 0; i < 4; ++i)
        d->cmdRTRRight->click();
    Utility::type(d->txtSRCDESC, QStringLiteral("Not applied yet"));
    const QByteArray inForce = RouterTableExportText(u.server().routerTable(5));
    QVERIFY(inForce != RouterTableExportText(d->workTable(5)));

    QFileDialog *save = d->openExportDialog();
    QCOMPARE(save->windowTitle(), QStringLiteral("Export Router 5 Table"));
    QCOMPARE(save->nameFilters(), QStringList{QStringLiteral("Text File (*.TXT)")});
    QCOMPARE(save->acceptMode(), QFileDialog::AcceptSave);
    QVERIFY(!save->testOption(QFileDialog::DontConfirmOverwrite));
    save->reject(); // cancelled: nothing written
    const QString file = u.desk.path() + QStringLiteral("/R5.TXT");
    QVERIFY(!QFile::exists(file));

    save = d->openExportDialog();
    save->selectFile(file);
    QVERIFY(QMetaObject::invokeMethod(save, "accept"));
    QTRY_VERIFY(QFile::exists(file));
    QCOMPARE(readFile(file), inForce);
}

void TestRouterUtility::tablesThatCannotBeWritten()
{
    // A folder where a table file should be: it can be neither read at the
    // load nor replaced (which a refusing folder or a full disk also does).
    Utility u([](const QString &dir) {
        for (int r : {7, 9, 11})
            QVERIFY(QDir(dir).mkdir(QStringLiteral("RTR%1.BIN").arg(r)));
    });
    QVERIFY(QDir(u.desk.path()).rmdir(QStringLiteral("RTR11.BIN"))); // writable again by the apply
    frmSetRTR *d = u.dialog;
    for (int i = 1; i <= 10; ++i) {
        d->cmdRTRRight->click();
        const int r = d->currentRouter();
        if (r == 7 || r == 8 || r == 11)
            Utility::type(d->txtRTRName, QStringLiteral("Edited %1").arg(r));
    }
    QCOMPARE(d->currentRouter(), 11);
    const RouterTable seven = u.server().routerTable(7);
    const RouterTable nine = u.server().routerTable(9);

    d->cmdOK->click();
    QMessageBox *box = u.desk.box(QStringLiteral("were not saved"));
    QVERIFY(box);
    QVERIFY(box->text().contains(u.path(7) + QStringLiteral(" could not be written")));
    QVERIFY(box->text().contains(u.path(9) + QStringLiteral(" was not saved: it could not be read")));
    QCOMPARE(box->text().count(QStringLiteral("RTR")), 2);
    QVERIFY(u.dialog); // it keeps its edits for another try

    // The tables in force are exactly those written.
    QCOMPARE(u.server().routerTable(7), seven);
    QCOMPARE(u.server().routerTable(9), nine);
    QCOMPARE(u.server().routerTable(8).Name, QStringLiteral("Edited 8"));
    QCOMPARE(u.server().routerTable(11).Name, QStringLiteral("Edited 11"));
    RouterTable eleven;
    QVERIFY(ReadRouterTable(u.desk.path(), 11, eleven));
    QCOMPARE(eleven.Name, QStringLiteral("Edited 11"));
    QVERIFY(QFileInfo(u.path(9)).isDir());
    QVERIFY(u.panelsTold());
}

QTEST_MAIN(TestRouterUtility)
#include "tst_router_utility.moc"
