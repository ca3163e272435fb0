#include "config/convert.h"
#include "config/ini_file.h"
#include "config/logs.h"
#include "config/settings.h"
#include "config/users.h"
#include "router/router_table.h"
#include "router/switch_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "test_support.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace marlin;
using namespace testsupport;


class TestConfig : public QObject {
    Q_OBJECT

private slots:
    void colorsFromTheFile_data();
    void colorsFromTheFile();
    void numberReading_data();
    void numberReading();

    void iniReadRules();
    void iniWritePreservesOtherLines();
    void iniCreatesFileSectionAndKey();

    void settingsDefaultsWithoutFile();
    void settingsSaveWritesEveryKeyInOrder();
    void settingsRoundTripEveryField();
    void settingsFieldRules();
    void settingsOverflowNamesTheKey_data();
    void settingsOverflowNamesTheKey();
    void unreadableSettingsFileIsKept();
    void settingsGarbageFile();
    void settingsSaveKeepsOldFileOnFailure();

    void errorLogLines();
    void logTextFromOutside_data();
    void logTextFromOutside();
    void repeatedErrorLinesCollapse();
    void switchLogLines_data();
    void switchLogLines();
    void logsFollowTheDate();
    void batchedLogLines();
    void logLinesThatCannotBeWritten();

    void userRecords_data();
    void userRecords();
    void builtInAccount();
    void damagedUserFile_data();
    void damagedUserFile();
    void damagedSettingsFile_data();
    void damagedSettingsFile();
    void usersSaveAndLoad();

private:
    QTemporaryDir dir;
};

void TestConfig::numberReading_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("fitsInt16");
    QTest::addColumn<int>("int16");

    QTest::newRow("plain") << "6" << 6.0 << true << 6;
    QTest::newRow("leading number") << " 12abc" << 12.0 << true << 12;
    QTest::newRow("blanks inside") << "1 2" << 12.0 << true << 12;
    QTest::newRow("letters") << "abc" << 0.0 << true << 0;
    QTest::newRow("empty") << "" << 0.0 << true << 0;
    QTest::newRow("half to even down") << "2.5" << 2.5 << true << 2;
    QTest::newRow("half to even up") << "3.5" << 3.5 << true << 4;
    QTest::newRow("negative half") << "-2.5" << -2.5 << true << -2;
    QTest::newRow("largest") << "32767" << 32767.0 << true << 32767;
    QTest::newRow("rounds over the top") << "32767.5" << 32767.5 << false << 0;
    QTest::newRow("overflow") << "40000" << 40000.0 << false << 0;
    QTest::newRow("smallest") << "-32768" << -32768.0 << true << -32768;
    QTest::newRow("hexadecimal") << "&H1F" << 31.0 << true << 31;
    QTest::newRow("hex is 16-bit") << "&HFFFF" << -1.0 << true << -1;
    QTest::newRow("exponent") << "1E3" << 1000.0 << true << 1000;
}

void TestConfig::numberReading()
{
    QFETCH(QString, text);
    QFETCH(double, value);
    QFETCH(bool, fitsInt16);
    QFETCH(int, int16);
    QCOMPARE(Val(text), value);
    const auto v = toInt16(Val(text));
    QCOMPARE(v.has_value(), fitsInt16);
    if (v)
        QCOMPARE(int(*v), int16);
}

void TestConfig::iniReadRules()
{
    const QString path = dir.filePath(QStringLiteral("read.ini"));
    const QByteArray longValue(300, 'x');
    QVERIFY(writeFile(path, "[First]\r\nKey=one\r\nkey=two\r\n[first]\r\nOther=3\r\n"
                    "[Long]\nValue=" + longValue + "\n  Spaced Key  = padded \n"));

    QCOMPARE(ReadIniValue(path, QStringLiteral("FIRST"), QStringLiteral("KEY"), QStringLiteral("d")), QStringLiteral("one"));
    // Only the first section of a name is searched.
    QCOMPARE(ReadIniValue(path, QStringLiteral("First"), QStringLiteral("Other"), QStringLiteral("d")), QStringLiteral("d"));
    QCOMPARE(ReadIniValue(path, QStringLiteral("Long"), QStringLiteral("Value"), {}).size(), 254);
    QCOMPARE(ReadIniValue(path, QStringLiteral("long"), QStringLiteral("spaced key"), {}), QStringLiteral(" padded "));
    QCOMPARE(ReadIniValue(path, QStringLiteral("Missing"), QStringLiteral("Key"), QStringLiteral("dflt")), QStringLiteral("dflt"));
    QCOMPARE(ReadIniValue(dir.filePath(QStringLiteral("none.ini")), QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("z")),
             QStringLiteral("z"));
}

void TestConfig::iniWritePreservesOtherLines()
{
    const QString path = dir.filePath(QStringLiteral("keep.ini"));
    const QByteArray before = "; note kept\n[Alpha]\nkey = old\nstray line\n\n[Beta]\nx=1";
    QVERIFY(writeFile(path, before));

    WriteIniValue(path, QStringLiteral("alpha"), QStringLiteral("KEY"), QStringLiteral("new\r\nvalue"));
    WriteIniValue(path, QStringLiteral("Alpha"), QStringLiteral("added"), QStringLiteral("2"));
    WriteIniValue(path, QStringLiteral("Beta"), QStringLiteral("y"), QStringLiteral("3"));

    QCOMPARE(readFile(path), QByteArray("; note kept\n[Alpha]\nKEY=new  value\r\nstray line\nadded=2\r\n\n"
                                       "[Beta]\nx=1\r\ny=3\r\n"));
    QCOMPARE(ReadIniValue(path, QStringLiteral("ALPHA"), QStringLiteral("key"), {}), QStringLiteral("new  value"));
}

void TestConfig::iniCreatesFileSectionAndKey()
{
    const QString path = dir.filePath(QStringLiteral("new.ini"));
    QFile::remove(path);
    WriteIniValue(path, QStringLiteral("One"), QStringLiteral("a"), QStringLiteral("1"));
    WriteIniValue(path, QStringLiteral("Two"), QStringLiteral("b"), QStringLiteral("é"));
    QCOMPARE(readFile(path), QByteArray("[One]\r\na=1\r\n[Two]\r\nb=\xE9\r\n"));
    QCOMPARE(ReadIniValue(path, QStringLiteral("two"), QStringLiteral("B"), {}), QStringLiteral("é"));
}

void TestConfig::settingsDefaultsWithoutFile()
{
    Settings s;
    QCOMPARE(LoadSettings(dir.filePath(QStringLiteral("absent.ini")), s), QStringList());
    QCOMPARE(s.Cards[1].CardIPAddress, QStringLiteral("172.23.42.6"));
    for (int k = 1; k <= kCardCount; ++k)
        QCOMPARE(s.Cards[k].CardTCPPort, QStringLiteral("790"));
    QVERIFY(s.Cards[2].CardIPAddress.isEmpty() && s.Cards[4].CardIPAddress.isEmpty());
    for (int i = 1; i <= kPortCount; ++i) {
        const ComPortSettings &c = s.ComPorts[i];
        QVERIFY(!c.ComEnable && c.ComDTR && !c.ComRTS);
        QCOMPARE(c.ComBaudRate, qint16(6));
        QCOMPARE(c.ComDataBits, qint16(4));
        QCOMPARE(c.ComStopBits, qint16(1));
        QCOMPARE(c.ComParity, qint16(2));
        QCOMPARE(c.ComIDNumber, qint16(i));
        QCOMPARE(c.ComProtocol, qint16(i == 5 || i == 6 ? 2 : 1));
        const NetPortSettings &n = s.NetPorts[i];
        QVERIFY(!n.NetEnabled);
        QCOMPARE(n.NetIDNumber, qint16(i));
        QCOMPARE(n.NetRetryMS, qint16(250));
        QCOMPARE(n.NetProtocol, qint16(1));
        QCOMPARE(n.NetPort, 0);
        QCOMPARE(s.ColumnPosition[i], qint16(i));
    }
    QCOMPARE(s.Colors[1], 12632256.0);
    QCOMPARE(s.Colors[4], 9756653.0);
    QCOMPARE(s.Colors[8], 8421440.0);
    QVERIFY(!s.Web.WebEnabled);
    QCOMPARE(s.Web.WebIPAddress, QStringLiteral("127.0.0.1"));
    QCOMPARE(s.Web.WebTCPPort, 8080);
}

void TestConfig::settingsSaveWritesEveryKeyInOrder()
{
    const QString path = dir.filePath(QStringLiteral("WREN.INI"));
    QFile::remove(path);
    Settings s;
    LoadSettings(path, s);
    QVERIFY(SaveSettings(path, s));

    const QByteArray bytes = readFile(path);
    const QList<QByteArray> lines = bytes.split('\n');
    int keys = 0;
    for (const QByteArray &l : lines)
        keys += l.contains('=');
    QCOMPARE(keys, 4 + 4 + 2 + 96 * 12 + 96 * 13 + 8 + 96 + 5);
    QVERIFY(bytes.startsWith("[Network_Settings]\r\nNetwork_Card_1_IP_Address=172.23.42.6\r\n"
                             "Network_Card_1_TCP_Port=790\r\nNetwork_Card_2_IP_Address=\r\n"));
    QVERIFY(bytes.contains("[Com_Port_1]\r\nPort_Description=\r\nPort_Enable=0\r\nBaud_Rate=6\r\nData_Bits=4\r\n"
                           "Stop_Bits=1\r\nParity=2\r\nDTR=1\r\nRTS=0\r\nDevice_Type=1\r\nID_Number=1\r\n"
                           "Level=0\r\nProtocol=1\r\n[Com_Port_2]"));
    QVERIFY(bytes.contains("[Net_Port_96]\r\nNetwork_IP_Address=\r\nNetwork_Port=0\r\nNetwork_Port_Type=0\r\n"
                           "User=\r\nPassword=\r\nHardware_Enabled=0\r\nPort_Description=\r\nDevice_Type=1\r\n"
                           "ID_Number=96\r\nLevel=0\r\nProtocol=1\r\nRetry_MS=250\r\nNetwork_Local_Port=0\r\n"
                           "[General_Settings]\r\n"
                           "Color_1=12632256\r\n"));
    QVERIFY(bytes.endsWith("Column_96_Position=96\r\n[Web_Settings]\r\nWeb_Enabled=0\r\n"
                           "Web_IP_Address=127.0.0.1\r\nWeb_TCP_Port=8080\r\nWeb_Allowed_Hosts=\r\n"
                           "Web_Connections_Per_Address=32\r\n"));
    QVERIFY(bytes.contains("Network_Card_4_TCP_Port=790\r\nPanel_Allowed_Networks=\r\n"
                           "Panel_Connections_Per_Address=64\r\n[Com_Port_1]"));

    Settings again;
    QCOMPARE(LoadSettings(path, again), QStringList());
    QVERIFY(again == s);
    // A second save of the same model leaves the bytes as they were.
    QVERIFY(SaveSettings(path, again));
    QCOMPARE(readFile(path), bytes);
}

// Every field, each set away from its default and from its neighbours,
// comes back from the file as it was saved: no key is read into another
// field, written from another, or left out of one direction.
void TestConfig::settingsRoundTripEveryField()
{
    const QString path = dir.filePath(QStringLiteral("every.ini"));
    QFile::remove(path);
    Settings s;
    LoadSettings(path, s);
    for (int k = 1; k <= kCardCount; ++k) {
        s.Cards[k].CardIPAddress = QStringLiteral("10.1.%1.1").arg(k);
        s.Cards[k].CardTCPPort = QString::number(7000 + k);
    }
    for (int i = 1; i <= kPortCount; ++i) {
        ComPortSettings &c = s.ComPorts[i];
        c.ComEnable = i % 2 == 0;
        c.ComBaudRate = qint16(1 + i % 13);
        c.ComDataBits = qint16(1 + (i + 1) % 4);
        c.ComStopBits = qint16(1 + (i + 2) % 3);
        c.ComParity = qint16(1 + (i + 3) % 3);
        c.ComDTR = i % 3 == 0;
        c.ComRTS = i % 5 == 0;
        c.ComDeviceType = qint16(2 + i % 2);
        c.ComIDNumber = qint16(97 - i);
        c.ComLevel = qint16(i % 7);
        c.ComProtocol = qint16(1 + (i + 1) % 3);
        c.ComDescription = QStringLiteral("Comm %1").arg(i);
        NetPortSettings &n = s.NetPorts[i];
        n.NetEnabled = i % 2 == 1;
        n.NetIPAddress = QStringLiteral("10.2.0.%1").arg(i);
        n.NetPort = 20000 + i;
        n.NetPortType = qint16(i % 2);
        n.NetUser = QStringLiteral("user%1").arg(i);
        n.NetPassword = QStringLiteral("pass%1").arg(i);
        n.NetDeviceType = qint16(3 + i % 2);
        n.NetIDNumber = qint16(1 + (i + 40) % 96);
        n.NetLevel = qint16(i % 5);
        n.NetProtocol = qint16(1 + i % 3);
        n.NetDescription = QStringLiteral("Network %1").arg(i);
        n.NetRetryMS = qint16(300 + i);
        n.NetLocalPort = 30000 + i;
        s.ColumnPosition[i] = qint16(97 - i);
    }
    for (int c = 1; c <= kColorCount; ++c)
        s.Colors[c] = 1000.0 * c + 0.5;
    s.Web.WebEnabled = true;
    s.Web.WebIPAddress = QStringLiteral("10.3.0.1");
    s.Web.WebTCPPort = 8443;
    s.Web.WebAllowedHosts = QStringLiteral("marlin.example");
    s.Web.WebConnectionsPerAddress = 7;
    s.Panels.PanelAllowedNetworks = QStringLiteral("10.4.0.0/16");
    s.Panels.PanelConnectionsPerAddress = 9;

    QVERIFY(SaveSettings(path, s));
    Settings again;
    QCOMPARE(LoadSettings(path, again), QStringList());
    for (int i = 1; i <= kPortCount; ++i) {
        QVERIFY2(again.ComPorts[i] == s.ComPorts[i], qPrintable(QStringLiteral("comm port %1").arg(i)));
        QVERIFY2(again.NetPorts[i] == s.NetPorts[i], qPrintable(QStringLiteral("network port %1").arg(i)));
    }
    QVERIFY(again == s);
}

void TestConfig::settingsFieldRules()
{
    const QString path = dir.filePath(QStringLiteral("rules.ini"));
    QVERIFY(writeFile(path, "[net_port_1]\r\nHardware_Enabled=2\r\nnetwork_ip_address=  10.0.0.9  \r\n"
                    "[Com_Port_1]\r\nPort_Enable=2\r\nBaud_Rate=abc\r\nDTR=1.0\r\n"
                    "[Com_Port_2]\r\nPort_Enable=1\r\nLevel=3.5\r\n"
                    "[web_settings]\r\nWeb_Enabled=1\r\nWeb_IP_Address= 0.0.0.0 \r\nWeb_TCP_Port=0\r\n"));
    Settings s;
    QCOMPARE(LoadSettings(path, s), QStringList());
    QVERIFY(s.NetPorts[1].NetEnabled);
    QCOMPARE(s.NetPorts[1].NetIPAddress, QStringLiteral("10.0.0.9"));
    QVERIFY(!s.ComPorts[1].ComEnable);
    QCOMPARE(s.ComPorts[1].ComBaudRate, qint16(0));
    QVERIFY(s.ComPorts[1].ComDTR);
    QVERIFY(s.ComPorts[2].ComEnable);
    QCOMPARE(s.ComPorts[2].ComLevel, qint16(4));
    QVERIFY(s.Web.WebEnabled);
    QCOMPARE(s.Web.WebIPAddress, QStringLiteral("0.0.0.0"));
    QCOMPARE(s.Web.WebTCPPort, 0);

    // A line break in a description comes back as two spaces.
    s.ComPorts[3].ComDescription = QStringLiteral("Studio\r\nA");
    QVERIFY(SaveSettings(path, s));
    Settings again;
    LoadSettings(path, again);
    QCOMPARE(again.ComPorts[3].ComDescription, QStringLiteral("Studio  A"));
}

void TestConfig::settingsOverflowNamesTheKey_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("reload");
    QTest::addColumn<QString>("failure");
    for (const bool reload : {false, true}) {
        const char *mode = reload ? "reload" : "startup";
        QTest::addRow("16-bit field, %s", mode)
            << QByteArray("[Com_Port_3]\r\nPort_Description=Overflowing\r\nBaud_Rate=40000\r\nData_Bits=2\r\n") << reload
            << QStringLiteral("Overflow in [Com_Port_3] Baud_Rate");
        QTest::addRow("32-bit port, %s", mode)
            << QByteArray("[Net_Port_3]\r\nNetwork_IP_Address=1.2.3.4\r\nNetwork_Port=99999999999\r\n") << reload
            << QStringLiteral("Overflow in [Net_Port_3] Network_Port");
        QTest::addRow("column, %s", mode) << QByteArray("[General_Settings]\r\nColumn_2_Position=-40000\r\n")
                                          << reload << QStringLiteral("Overflow in [General_Settings] Column_2_Position");
        QTest::addRow("web port, %s", mode) << QByteArray("[Web_Settings]\r\nWeb_TCP_Port=1e12\r\n") << reload
                                            << QStringLiteral("Overflow in [Web_Settings] Web_TCP_Port");
    }
}

// The overflowing key takes its default at startup and keeps its value on a
// reload; every other key is read, before and after it.
void TestConfig::settingsOverflowNamesTheKey()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, reload);
    QFETCH(QString, failure);
    const QString path = dir.filePath(QStringLiteral("overflow.ini"));
    QVERIFY(writeFile(path, "[Network_Settings]\r\nNetwork_Card_2_IP_Address=10.1.1.1\r\n[Com_Port_1]\r\nLevel=5\r\n" + file
                                + "[Com_Port_4]\r\nPort_Enable=1\r\nID_Number=40\r\n[Net_Port_5]\r\nRetry_MS=900\r\n"));

    Settings s;
    s.ComPorts[3].ComBaudRate = 9;
    s.NetPorts[3].NetPort = 4000;
    s.ColumnPosition[2] = 55;
    s.Web.WebTCPPort = 9000;
    QCOMPARE(LoadSettings(path, s, reload ? LoadMode::Reload : LoadMode::Startup), QStringList{failure});
    QCOMPARE(s.ComPorts[1].ComLevel, qint16(5));
    QCOMPARE(s.Cards[2].CardIPAddress, QStringLiteral("10.1.1.1"));
    QVERIFY(s.ComPorts[4].ComEnable);
    QCOMPARE(s.ComPorts[4].ComIDNumber, qint16(40));
    QCOMPARE(s.NetPorts[5].NetRetryMS, qint16(900));
    const QByteArray tag(QTest::currentDataTag());
    if (tag.startsWith("16-bit")) {
        QCOMPARE(s.ComPorts[3].ComBaudRate, qint16(reload ? 9 : 6));
        QCOMPARE(s.ComPorts[3].ComDataBits, qint16(2));
    } else if (tag.startsWith("32-bit")) {
        QCOMPARE(s.NetPorts[3].NetPort, reload ? 4000 : 0);
        QCOMPARE(s.NetPorts[3].NetIPAddress, QStringLiteral("1.2.3.4"));
    } else if (tag.startsWith("web")) {
        QCOMPARE(s.Web.WebTCPPort, reload ? 9000 : 8080);
    } else {
        QCOMPARE(s.ColumnPosition[2], qint16(reload ? 55 : 2));
    }

    // A save writes back what was read; only the overflowing key changes.
    QVERIFY(SaveSettings(path, s));
    Settings again;
    QCOMPARE(LoadSettings(path, again), QStringList());
    QVERIFY(again == s);
}

// A settings file that exists but cannot be read (here a folder stands in its
// place, which fails even for root) is never written over.
void TestConfig::unreadableSettingsFileIsKept()
{
    QTemporaryDir app;
    const QString path = app.filePath(QStringLiteral("WREN.INI"));
    QVERIFY(QDir().mkpath(path + QStringLiteral("/inside")));

    Settings s;
    s.ComPorts[2].ComIDNumber = 33;
    const Settings before = s;
    const QStringList reloadFailures = LoadSettings(path, s, LoadMode::Reload);
    QCOMPARE(reloadFailures.size(), 1);
    QVERIFY2(reloadFailures[0].startsWith(QStringLiteral("The settings file %1 could not be read (").arg(path)),
             qPrintable(reloadFailures[0]));
    QVERIFY(s == before);

    const QStringList startupFailures = LoadSettings(path, s, LoadMode::Startup);
    QCOMPARE(startupFailures, reloadFailures);
    QCOMPARE(s.ComPorts[2].ComIDNumber, qint16(2));
    QCOMPARE(s.Cards[1].CardIPAddress, QStringLiteral("172.23.42.6"));

    QString error;
    QVERIFY(!SaveSettings(path, s, &error));
    QVERIFY2(error.contains(QStringLiteral("could not be read")), qPrintable(error));
    QVERIFY(QFileInfo(path + QStringLiteral("/inside")).isDir());
    WriteIniValue(path, QStringLiteral("A"), QStringLiteral("b"), QStringLiteral("c"));
    QVERIFY(QFileInfo(path + QStringLiteral("/inside")).isDir());

    // Users are kept the same way on a reload; at startup nobody can log
    // in: the built-in account is for an installation without a user file.
    const QString userFile = app.filePath(QStringLiteral("USER.INI"));
    QVERIFY(QDir().mkpath(userFile));
    UserTable users;
    users[3].UserName = QStringLiteral("kept");
    QString failure;
    QVERIFY(!LoadUsers(userFile, users, LoadMode::Reload, &failure));
    QVERIFY2(failure.startsWith(QStringLiteral("The user file")), qPrintable(failure));
    QCOMPARE(users[3].UserName, QStringLiteral("kept"));
    QVERIFY(!LoadUsers(userFile, users, LoadMode::Startup));
    QVERIFY(users[1].UserName.isEmpty());
    QVERIFY(users[3].UserName.isEmpty());
    QVERIFY(!SaveUsers(userFile, users));
    QVERIFY(QFileInfo(userFile).isDir());
}

void TestConfig::settingsGarbageFile()
{
    const QString path = dir.filePath(QStringLiteral("garbage.ini"));
    QByteArray noise;
    for (int i = 0; i < 4096; ++i)
        noise.append(char((i * 7919 + 13) % 256));
    QVERIFY(writeFile(path, noise + "\n[Com_Port_7]\nPort_Enable=1\n[Com_Port_8"));
    Settings s;
    QCOMPARE(LoadSettings(path, s), QStringList());
    QVERIFY(s.ComPorts[7].ComEnable);
    QCOMPARE(s.ComPorts[8].ComProtocol, qint16(1));
    QCOMPARE(s.Cards[1].CardIPAddress, QStringLiteral("172.23.42.6"));
}

namespace {

// While it lives, this process cannot write a file past the given size, as
// on a disk that fills up: a write beyond it fails (root is no exception).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &saved);
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
    }

private:
    rlimit saved{};
    void (*previousHandler)(int) = nullptr;
};

} // namespace

void TestConfig::settingsSaveKeepsOldFileOnFailure()
{
    Settings s;
    LoadSettings(dir.filePath(QStringLiteral("absent.ini")), s);
    QVERIFY(!SaveSettings(dir.filePath(QStringLiteral("no/such/folder/WREN.INI")), s));

    // A save that cannot write the whole new file leaves the old one as it
    // was, and no half-written file beside it.
    QTemporaryDir own;
    const QString path = own.filePath(QStringLiteral("WREN.INI"));
    const QByteArray old = "[Com_Port_3]\r\nPort_Description=old\r\n";
    QVERIFY(writeFile(path, old));
    s.ComPorts[3].ComDescription = QStringLiteral("new");
    {
        FileSizeLimit full(1024);
        QVERIFY(!SaveSettings(path, s));
    }
    QCOMPARE(readFile(path), old);
    QCOMPARE(QDir(own.path()).entryList(QDir::Files), QStringList{QStringLiteral("WREN.INI")});

    // The same save with room to write replaces it, through a temporary
    // file: nothing but the result is left.
    QVERIFY(SaveSettings(path, s));
    QVERIFY(readFile(path).contains("Port_Description=new"));
    QCOMPARE(QDir(own.path()).entryList(QDir::Files), QStringList{QStringLiteral("WREN.INI")});
}

void TestConfig::errorLogLines()
{
    QTemporaryDir app;
    RouterTableArray tables;
    Logs logs(app.path());
    const QDateTime at(QDate(2026, 3, 4), QTime(5, 6, 7));
    logs.setClock([&] { return at; });
    logs.WriteErrorLog(QStringLiteral("Server Started"));
    logs.WriteErrorLog(QStringLiteral("two\r\nlines"));
    QCOMPARE(readFile(app.filePath(QStringLiteral("Logs/Error Log For 20260304.TXT"))),
             QByteArray("03-04-2026  05:06:07 Server Started\r\n03-04-2026  05:06:07 two\\x0D\\x0Alines\r\n"));
}

// Text from outside (a comment, a router, source or destination name) never
// ends a line, forges a field or carries NUL: each control character is
// written as \xHH. A comment is cut at its limit.
void TestConfig::logTextFromOutside_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("written");

    QTest::newRow("line ends") << QStringLiteral("ok\r\n03-04-2026  05:06:07 Switch command sent.")
                               << QByteArray("ok\\x0D\\x0A03-04-2026  05:06:07 Switch command sent.");
    QTest::newRow("a lone line feed") << QStringLiteral("a\nb") << QByteArray("a\\x0Ab");
    QTest::newRow("tab forging a field") << QStringLiteral("x\t Router = Fake") << QByteArray("x\\x09 Router = Fake");
    QTest::newRow("NUL") << QString::fromLatin1("a\0b", 3) << QByteArray("a\\x00b");
    QTest::newRow("escape and DEL") << QStringLiteral("\x1B[2J\x7F") << QByteArray("\\x1B[2J\\x7F");
    QTest::newRow("C1 next line") << QString(QChar(0x85)) + QStringLiteral("z") << QByteArray("\\x85z");
    QTest::newRow("Windows-1252 text stays") << QString::fromUtf8("café €") << QByteArray("caf\xE9 \x80");
    QTest::newRow("comment at the limit") << QString(Logs::kCommentLimit, QLatin1Char('c'))
                                          << QByteArray(Logs::kCommentLimit, 'c');
    QTest::newRow("comment past the limit") << QString(60 * 1024, QLatin1Char('c'))
                                            << QByteArray(Logs::kCommentLimit, 'c');
}

void TestConfig::logTextFromOutside()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, written);

    QTemporaryDir app;
    RouterTableArray tables;
    CreateDefaultRouterTable(tables[2], 2);
    const bool isComment = text.size() >= Logs::kCommentLimit;
    if (!isComment) {
        tables[2].Name = text;
        tables[2].SourceDescription[3] = text;
        tables[2].DestDescription[5] = text;
    }
    Logs logs(app.path());
    const QDateTime at(QDate(2026, 3, 4), QTime(5, 6, 7));
    logs.setClock([&] { return at; });
    WriteSwitchLog(logs, tables, true, 2, 3, 5, text);
    logs.WriteErrorLog(QStringLiteral("Router = ") + text);

    const QByteArray name = isComment ? QByteArray("Router_2") : written;
    const QByteArray source = isComment ? QByteArray("Input_3") : written;
    const QByteArray destination = isComment ? QByteArray("Output_5") : written;
    QCOMPARE(readFile(logs.switchLogPath(at.date())),
             "03-04-2026  05:06:07 Switch command sent.\t Router = " + name + "\t Source = " + source
                 + "\t Destination = " + destination + '\t' + written + "\r\n");
    if (!isComment)
        QCOMPARE(readFile(logs.errorLogPath(at.date())), "03-04-2026  05:06:07 Router = " + written + "\r\n");
}

// One line repeated in a flood: the first few are written, the rest counted
// and written as one line when another line comes; other lines are untouched.
void TestConfig::repeatedErrorLinesCollapse()
{
    QTemporaryDir app;
    RouterTableArray tables;
    Logs logs(app.path());
    const QDateTime at(QDate(2026, 3, 4), QTime(5, 6, 7));
    logs.setClock([&] { return at; });
    const QString full = QStringLiteral("Command queue of router 1 (Router_1) full: a take took the place of the last "
                                        "waiting command.");
    for (int i = 0; i < 5000; ++i)
        logs.WriteErrorLog(full);
    logs.WriteErrorLog(QStringLiteral("Server Closed Down"));
    logs.WriteErrorLog(QStringLiteral("Server Closed Down"));

    QList<QByteArray> expected(Logs::kRepeatsWritten, full.toLatin1());
    expected << full.toLatin1() + " [repeated " + QByteArray::number(5000 - Logs::kRepeatsWritten) + " more times]"
             << "Server Closed Down" << "Server Closed Down";
    QList<QByteArray> lines;
    for (const QByteArray &line : readFile(logs.errorLogPath(at.date())).split('\n')) {
        if (!line.isEmpty())
            lines.append(line.mid(21).chopped(1));
    }
    QCOMPARE(lines, expected);
}

void TestConfig::switchLogLines_data()
{
    QTest::addColumn<bool>("isSwitch");
    QTest::addColumn<int>("router");
    QTest::addColumn<int>("source");
    QTest::addColumn<int>("destination");
    QTest::addColumn<QByteArray>("entry");

    QTest::newRow("switch") << true << 2 << 3 << 5
        << QByteArray("Switch command sent.\t Router = Router_2\t Source = Input_3\t Destination = Output_5\tby admin");
    QTest::newRow("status") << false << 2 << 3 << 5
        << QByteArray("Status update.\t Router = Router_2\t Source = Input_3\t Destination = Output_5");
    QTest::newRow("destination too large") << true << 2 << 3 << 300
        << QByteArray("Switch command sent.\t Router = Router_2\t Source = Input_3\tby admin");
    QTest::newRow("source negative") << false << 2 << -1 << 5
        << QByteArray("Status update.\t Router = Router_2\t Destination = Output_5");
    QTest::newRow("router too large") << true << 97 << 3 << 5 << QByteArray("Switch command sent.\tby admin");
}

void TestConfig::switchLogLines()
{
    QFETCH(bool, isSwitch);
    QFETCH(int, router);
    QFETCH(int, source);
    QFETCH(int, destination);
    QFETCH(QByteArray, entry);

    QTemporaryDir app;
    RouterTableArray tables;
    CreateDefaultRouterTable(tables[2], 2);
    Logs logs(app.path());
    logs.setClock([] { return QDateTime(QDate(2026, 12, 31), QTime(23, 59, 58)); });
    WriteSwitchLog(logs, tables, isSwitch, router, source, destination, QStringLiteral("by admin"));
    QCOMPARE(readFile(logs.switchLogPath(QDate(2026, 12, 31))), "12-31-2026  23:59:58 " + entry + "\r\n");
}

void TestConfig::logsFollowTheDate()
{
    QTemporaryDir app;
    RouterTableArray tables;
    Logs logs(app.path());
    QDateTime at(QDate(2026, 6, 1), QTime(23, 59, 59));
    logs.setClock([&] { return at; });
    logs.WriteErrorLog(QStringLiteral("before"));
    at = QDateTime(QDate(2026, 6, 2), QTime(0, 0, 0));
    logs.WriteErrorLog(QStringLiteral("after"));
    QVERIFY(readFile(logs.errorLogPath(QDate(2026, 6, 1))).endsWith("before\r\n"));
    QCOMPARE(readFile(logs.errorLogPath(QDate(2026, 6, 2))), QByteArray("06-02-2026  00:00:00 after\r\n"));
}

void TestConfig::batchedLogLines()
{
    QTemporaryDir app;
    RouterTableArray tables;
    CreateDefaultRouterTable(tables[2], 2);
    Logs logs(app.path());
    QDateTime at(QDate(2026, 6, 1), QTime(23, 59, 59));
    logs.setClock([&] { return at; });
    const QString errors = logs.errorLogPath(at.date());
    const QString switches = logs.switchLogPath(at.date());
    {
        Logs::Batch outer(logs);
        logs.WriteErrorLog(QStringLiteral("one"));
        {
            Logs::Batch inner(logs);
            for (int d = 1; d <= 3; ++d)
                WriteSwitchLog(logs, tables, false, 2, d, d, QString());
        }
        logs.WriteErrorLog(QStringLiteral("two"));
        at = at.addSecs(1); // past midnight: the next day's file
        logs.WriteErrorLog(QStringLiteral("three"));
        // Nothing is on disk while the outermost batch lives.
        QVERIFY(!QFile::exists(errors));
        QCOMPARE(logs.fileOpens(), 0);
    }
    // One open per file, the lines in the order they came.
    QCOMPARE(logs.fileOpens(), 3);
    QCOMPARE(readFile(errors), QByteArray("06-01-2026  23:59:59 one\r\n06-01-2026  23:59:59 two\r\n"));
    QCOMPARE(readFile(switches).count("Status update."), 3);
    QVERIFY(readFile(switches).endsWith("Destination = Output_3\r\n"));
    QCOMPARE(readFile(logs.errorLogPath(at.date())), QByteArray("06-02-2026  00:00:00 three\r\n"));

    // Outside a batch each line is written at once.
    logs.WriteErrorLog(QStringLiteral("four"));
    QCOMPARE(logs.fileOpens(), 4);
    QVERIFY(readFile(logs.errorLogPath(at.date())).endsWith("four\r\n"));
}

void TestConfig::logLinesThatCannotBeWritten()
{
    QTemporaryDir app;
    RouterTableArray tables;
    Logs logs(app.path());
    logs.setClock([] { return QDateTime(QDate(2026, 6, 1), QTime(8, 0, 0)); });
    const QString path = logs.errorLogPath(QDate(2026, 6, 1));

    QStringList told;
    logs.setProblemHandler([&](const QString &problem) { told.append(problem); });

    // A file where the Logs folder belongs refuses every write, even root's.
    QVERIFY(writeFile(app.filePath(QStringLiteral("Logs")), "not a folder"));
    logs.WriteErrorLog(QStringLiteral("lost"));
    {
        Logs::Batch batch(logs);
        logs.WriteErrorLog(QStringLiteral("lost too"));
        WriteSwitchLog(logs, tables, false, 1, 1, 1, QString());
    }
    QVERIFY(!QFile::exists(path));
    // Every failed append is counted; the problem is told once.
    QCOMPARE(logs.writeFailures(), quint64(3));
    QCOMPARE(told.size(), 1);
    QVERIFY2(told[0].startsWith(QStringLiteral("The logs cannot be written (") + path), qPrintable(told[0]));
    QCOMPARE(logs.writeProblem(), told[0]);
    // The next line tries again and is written once the folder can be made,
    // followed by what was lost.
    QVERIFY(QFile::remove(app.filePath(QStringLiteral("Logs"))));
    logs.WriteErrorLog(QStringLiteral("kept"));
    QCOMPARE(readFile(path), QByteArray("06-01-2026  08:00:00 kept\r\n06-01-2026  08:00:00 The logs could not be "
                                        "written from 06-01-2026 08:00:00 on; 3 writes were lost.\r\n"));
    QCOMPARE(told, (QStringList{told[0], QString()}));
    QCOMPARE(logs.writeProblem(), QString());

    // Past a file size limit the write fails instead of the process ending:
    // in a child, which the limit would otherwise kill with SIGXFSZ.
    const pid_t child = ::fork();
    if (child == 0) {
        IgnoreFileSizeLimitSignal();
        // The file is full: it may not grow by a byte, as on a full disk.
        const rlim_t full = rlim_t(QFileInfo(path).size());
        const rlimit limit{full, full};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const quint64 before = logs.writeFailures();
        for (int i = 0; i < 10; ++i)
            logs.WriteErrorLog(QStringLiteral("a line that does not fit %1").arg(i));
        // A full file takes nothing more, and each refusal is counted.
        ::_exit(QFileInfo(path).size() == qint64(full) && logs.writeFailures() == before + 10
                        && !logs.writeProblem().isEmpty()
                    ? 0
                    : 2);
    }
    QVERIFY(child > 0);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(WIFEXITED(status), WIFSIGNALED(status) ? qPrintable(QStringLiteral("signal %1").arg(WTERMSIG(status))) : "");
    QCOMPARE(WEXITSTATUS(status), 0);
    // The parent, with no limit, writes on.
    logs.WriteErrorLog(QStringLiteral("after"));
    QVERIFY(readFile(path).endsWith("after\r\n"));
}

void TestConfig::userRecords_data()
{
    QTest::addColumn<QString>("record");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("privilege");
    QTest::addColumn<bool>("sound");

    QTest::newRow("empty text") << "" << "" << "" << 0 << true;
    QTest::newRow("empty user, operator") << "10-15" << "" << "" << 1 << true;
    QTest::newRow("name and password") << "12-77-12-17-113-16" << "A" << "a" << 3 << true;
    QTest::newRow("not numbers") << "abc" << "" << "" << 0 << false;
    QTest::newRow("name cut short") << "14-77-12" << "" << "" << 0 << false;
    QTest::newRow("no privilege") << "12-77-12" << "A" << "" << 0 << false;
    QTest::newRow("byte out of range") << "12-77-12-17-113-999" << "A" << "" << 3 << false;
    QTest::newRow("count below ten") << "3-15" << "" << "" << 0 << false;
}

void TestConfig::userRecords()
{
    QFETCH(QString, record);
    QFETCH(QString, name);
    QFETCH(QString, password);
    QFETCH(int, privilege);
    QFETCH(bool, sound);
    bool ok = !sound;
    const User u = DecodeUserRecord(record, &ok);
    QCOMPARE(u.UserName, name);
    QCOMPARE(u.UserPassword, password);
    QCOMPARE(int(u.UserPrivilege), privilege);
    QCOMPARE(ok, sound);
    if (sound && !record.isEmpty())
        QCOMPARE(EncodeUserRecord(name, password, qint16(privilege)), record);
}

void TestConfig::builtInAccount()
{
    const User u = DecodeUserRecord(QString::fromLatin1(kDefaultUserRecord));
    QCOMPARE(u.UserName, QStringLiteral("admin"));
    QCOMPARE(u.UserPassword, QStringLiteral("marlin"));
    QCOMPARE(int(u.UserPrivilege), int(Administrator));

    UserTable users;
    users[5].UserName = QStringLiteral("stale");
    LoadUsers(dir.filePath(QStringLiteral("no-user.ini")), users);
    QCOMPARE(users[1], u);
    for (int i = 2; i <= kUserCount; ++i)
        QVERIFY(users[i].UserName.isEmpty());
}

// The built-in account exists only without a user file. A file that
// exists but yields nobody who can log in is damaged: at startup nobody can
// log in, and a reload keeps the users in force; either way it is said.
void TestConfig::damagedUserFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("damaged");
    QTest::addColumn<QString>("whoCanLogIn"); // at startup

    const QByteArray operatorTwo = "[USERS]\r\nUser_2="
                                   + EncodeUserRecord(QStringLiteral("desk"), QStringLiteral("pw"), Operator).toLatin1()
                                   + "\r\n";
    QByteArray binary;
    for (int i = 0; i < 2048; ++i)
        binary.append(char((i * 7919 + 13) % 256));
    QTest::newRow("emptied") << QByteArray() << true << QString();
    QTest::newRow("binary") << binary << true << QString();
    QTest::newRow("no User_1, nobody else") << QByteArray("[USERS]\r\nUnicode=1\r\n") << true << QString();
    QTest::newRow("empty records only") << QByteArray("[USERS]\r\nUser_1=10-14\r\nUser_2=10-14\r\n") << true
                                        << QString();
    QTest::newRow("a user without privilege only")
        << "[USERS]\r\nUser_1=" + EncodeUserRecord(QStringLiteral("x"), QStringLiteral("y"), 0).toLatin1() + "\r\n"
        << true << QString();
    QTest::newRow("no User_1, an operator in User_2") << operatorTwo << false << "desk";
}

void TestConfig::damagedUserFile()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, damaged);
    QFETCH(QString, whoCanLogIn);

    QTemporaryDir app;
    const QString path = app.filePath(QStringLiteral("USER.INI"));
    QVERIFY(writeFile(path, content));
    const auto loginNames = [](const UserTable &users) {
        QStringList names;
        for (int i = 1; i <= kUserCount; ++i) {
            if (canLogIn(users[i]))
                names.append(users[i].UserName);
        }
        return names.join(QLatin1Char(','));
    };

    UserTable users;
    users[4] = User{QStringLiteral("stale"), QStringLiteral("pw"), Administrator};
    QString failure;
    QCOMPARE(LoadUsers(path, users, LoadMode::Startup, &failure), !damaged);
    QCOMPARE(loginNames(users), whoCanLogIn);
    QCOMPARE(failure.isEmpty(), !damaged);
    if (damaged)
        QCOMPARE(failure, QStringLiteral("The user file %1 holds no user who can log in. Nobody can log in; mend the "
                                         "file or delete it to get the built-in account back.").arg(path));

    UserTable inForce;
    inForce[3] = User{QStringLiteral("chief"), QStringLiteral("pw"), Administrator};
    users = inForce;
    QCOMPARE(LoadUsers(path, users, LoadMode::Reload, &failure), !damaged);
    QCOMPARE(loginNames(users), damaged ? QStringLiteral("chief") : whoCanLogIn);
    if (damaged)
        QCOMPARE(failure, QStringLiteral("The user file %1 holds no user who can log in. The users in force are kept.")
                              .arg(path));
}

// A settings file with none of its sections is damaged, not a file of
// defaults: a reload keeps the settings in force (its routers in service),
// a startup says so. A file missing at a reload is the same.
void TestConfig::damagedSettingsFile_data()
{
    QTest::addColumn<QByteArray>("content"); // "-" for no file
    QTest::addColumn<QString>("startupFailure"); // after the path
    QTest::addColumn<QString>("reloadFailure");

    const QString sections = QStringLiteral(" holds none of the settings sections ([Network_Settings], "
                                            "[General_Settings], [Web_Settings], [Com_Port_n], [Net_Port_n]).");
    QByteArray binary;
    for (int i = 0; i < 2048; ++i)
        binary.append(char((i * 7919 + 13) % 256));
    QTest::newRow("emptied") << QByteArray() << sections + " The built-in defaults are in use."
                             << sections + " The settings in force are kept.";
    QTest::newRow("binary") << binary << sections + " The built-in defaults are in use."
                            << sections + " The settings in force are kept.";
    QTest::newRow("another program's file") << QByteArray("[Other]\r\nPort_Enable=1\r\n")
                                            << sections + " The built-in defaults are in use."
                                            << sections + " The settings in force are kept.";
    QTest::newRow("missing") << QByteArray("-") << QString()
                             << QStringLiteral(" is missing. The settings in force are kept.");
    QTest::newRow("one section") << QByteArray("[Net_Port_9]\r\nHardware_Enabled=1\r\n") << QString() << QString();
}

void TestConfig::damagedSettingsFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, startupFailure);
    QFETCH(QString, reloadFailure);

    QTemporaryDir app;
    const QString path = app.filePath(QStringLiteral("WREN.INI"));
    if (content != "-")
        QVERIFY(writeFile(path, content));

    Settings s;
    const QStringList atStartup = LoadSettings(path, s, LoadMode::Startup);
    const QString file = QStringLiteral("The settings file ") + path;
    QCOMPARE(atStartup, startupFailure.isEmpty() ? QStringList() : QStringList{file + startupFailure});
    QCOMPARE(s.Cards[1].CardIPAddress, QStringLiteral("172.23.42.6"));

    Settings inForce;
    inForce.NetPorts[3].NetEnabled = true;
    inForce.NetPorts[3].NetIPAddress = QStringLiteral("127.0.0.1");
    s = inForce;
    const QStringList onReload = LoadSettings(path, s, LoadMode::Reload);
    QCOMPARE(onReload, reloadFailure.isEmpty() ? QStringList() : QStringList{file + reloadFailure});
    QCOMPARE(s == inForce, !reloadFailure.isEmpty());
}

void TestConfig::usersSaveAndLoad()
{
    const QString path = dir.filePath(QStringLiteral("USER.INI"));
    UserTable users;
    users[1] = User{.UserName = QStringLiteral("Zoë Müller"), .UserPassword = QStringLiteral("Pässwörd"), .UserPrivilege = MasterOperator};
    QVERIFY(SaveUsers(path, users));

    const QByteArray bytes = readFile(path);
    QVERIFY(bytes.startsWith("[USERS]\r\nUnicode=1\r\nUser_1="));
    for (int i = 2; i <= kUserCount; ++i)
        QVERIFY(bytes.contains(QStringLiteral("User_%1=10-14\r\n").arg(i).toLatin1()));

    UserTable loaded;
    QVERIFY(LoadUsers(path, loaded));
    QCOMPARE(loaded[1], users[1]);
    QVERIFY(loaded[2].UserName.isEmpty());
}

void TestConfig::colorsFromTheFile_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<quint32>("rgb");
    QTest::addColumn<QString>("hex");
    QTest::newRow("red") << QByteArray("255") << quint32(0x0000FF) << QStringLiteral("#ff0000");
    QTest::newRow("white") << QByteArray("16777215") << quint32(0xFFFFFF) << QStringLiteral("#ffffff");
    QTest::newRow("fraction") << QByteArray("65280.9") << quint32(0x00FF00) << QStringLiteral("#00ff00");
    QTest::newRow("blue, some green") << QByteArray("16715264") << quint32(0xFF0E00) << QStringLiteral("#000eff");
    QTest::newRow("past white") << QByteArray("16777216") << quint32(0) << QStringLiteral("#000000");
    QTest::newRow("negative") << QByteArray("-1") << quint32(0) << QStringLiteral("#000000");
    QTest::newRow("huge") << QByteArray("1e300") << quint32(0) << QStringLiteral("#000000");
    QTest::newRow("overflowing to infinity") << QByteArray("1e999") << quint32(0) << QStringLiteral("#000000");
}

// Every face (view, General Settings window, web API) converts through
// settingsColor, so one file shows one colour everywhere; values no colour
// has are black rather than undefined, and a colour stored back is the
// value it came from.
void TestConfig::colorsFromTheFile()
{
    QFETCH(QByteArray, text);
    QFETCH(quint32, rgb);
    QFETCH(QString, hex);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("WREN.INI"));
    QVERIFY(writeFile(path, "[General_Settings]\r\nColor_3=" + text + "\r\n"));
    Settings settings;
    LoadSettings(path, settings, LoadMode::Startup);
    QCOMPARE(WindowsRgb(settings.Colors[3]), rgb);
    const SettingsColor color = settingsColor(settings.Colors[3]);
    QCOMPARE(color.hexName(), hex);
    QCOMPARE(settingsColorValue(color), double(rgb));
}

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
