#include "config_check.h"

#include "clients/client_server.h"
#include "config/ini_file.h"
#include "config/settings.h"
#include "config/users.h"
#include "core/console_actions.h"
#include "core/settings_check.h"
#include "links/device_language.h"
#include "links/port_table.h"
#include "links/network_links.h"
#include "links/serial_links.h"
#include "router/router_file.h"

#include <QDir>
#include <QFileInfo>

namespace marlin {

namespace {

QString protocolName(int protocol)
{
    const QString name = LanguageName(protocol);
    return name.isEmpty() ? QStringLiteral("protocol %1 (none the server speaks)").arg(protocol) : name;
}

QString servedText(int deviceType, int router, int protocol, const RouterTableArray &tables)
{
    if (deviceType != kDeviceRouter)
        return QStringLiteral("device type %1, not a router").arg(deviceType);
    if (!isRouterNumber(router))
        return QStringLiteral("router %1 (no such router table), %2").arg(router).arg(protocolName(protocol));
    return QStringLiteral("router %1 \"%2\", %3").arg(router).arg(tables[router].Name, protocolName(protocol));
}

} // namespace

ConfigurationCheck CheckConfiguration(const QString &appDir)
{
    ConfigurationCheck check;
    const QDir dir(appDir);
    check.found.append(QStringLiteral("application folder ") + appDir);

    RouterTableArray tables;
    const RouterTableLoad load = LoadRouterTables(appDir, tables);
    check.problems += load.failures;
    int fromFiles = 0;
    for (int r = 1; r <= kRouterCount; ++r) {
        if (QFileInfo::exists(RouterTablePath(appDir, r)) && !load.unreadable.test(std::size_t(r)))
            ++fromFiles;
    }
    check.found.append(QStringLiteral("router tables: %1 read from their files, %2 unreadable, %3 defaults")
                           .arg(fromFiles)
                           .arg(load.unreadable.count())
                           .arg(kRouterCount - fromFiles - int(load.unreadable.count())));

    const QString settingsFile = dir.filePath(QStringLiteral("WREN.INI"));
    Settings settings;
    check.problems += LoadSettings(settingsFile, settings, LoadMode::Startup);
    check.found.append(QFileInfo::exists(settingsFile) ? QStringLiteral("settings ") + settingsFile
                                                       : QStringLiteral("settings: no WREN.INI, the defaults apply"));
    int cards = 0;
    for (int k = 1; k <= kCardCount; ++k) {
        const CardEndpoint endpoint = cardEndpoint(settings, k);
        if (!endpoint.used)
            continue;
        ++cards;
        const QString where = trimSpaces(settings.Cards[k].CardIPAddress) + QLatin1Char(':')
                              + trimSpaces(settings.Cards[k].CardTCPPort);
        check.found.append(QStringLiteral("  network card %1: panels on %2").arg(k).arg(where));
    }
    if (cards == 0)
        check.found.append(QStringLiteral("  no network card has an address: no panel can connect"));

    const AllowedNetworks allowed = ParseAllowedNetworks(settings.Panels.PanelAllowedNetworks);
    check.found.append(allowed.any ? QStringLiteral("  panels from any address")
                                   : QStringLiteral("  panels only from %1").arg(settings.Panels.PanelAllowedNetworks.trimmed()));

    const WebSettings &web = settings.Web;
    if (web.WebEnabled) {
        const QString where = web.WebIPAddress + QLatin1Char(':') + QString::number(web.WebTCPPort);
        check.found.append(QStringLiteral("  web panel and API on %1").arg(where));
    } else {
        check.found.append(QStringLiteral("  web panel and API off"));
    }

    for (int n = 1; n <= kPortCount; ++n) {
        const ComPortSettings &p = settings.ComPorts[n];
        if (!p.ComEnable)
            continue;
        const QString device = ComDevicePath(appDir, n);
        check.found.append(QStringLiteral("  comm port %1: %2, on %3")
                               .arg(n)
                               .arg(servedText(p.ComDeviceType, p.ComIDNumber, p.ComProtocol, tables), device));
        if (!QFileInfo::exists(device))
            check.problems.append(QStringLiteral("comm port %1: its device %2 is not there").arg(n).arg(device));
    }
    for (int n = 1; n <= kPortCount; ++n) {
        const NetPortSettings &p = settings.NetPorts[n];
        if (!p.NetEnabled)
            continue;
        const QString host = trimSpaces(p.NetIPAddress);
        check.found.append(QStringLiteral("  network port %1: %2, %3 %4:%5")
                               .arg(n)
                               .arg(servedText(p.NetDeviceType, p.NetIDNumber, p.NetProtocol, tables),
                                    p.NetPortType == 0 ? QStringLiteral("TCP") : QStringLiteral("UDP"), host)
                               .arg(p.NetPort));
    }
    for (const SettingsProblem &problem : CheckSettingsValues(settings) + CheckSettingsNames(IniDocument::load(settingsFile)))
        (problem.kind == SettingsProblem::Kind::Warning ? check.warnings : check.problems).append(problem.message());

    const QString userFile = dir.filePath(QStringLiteral("USER.INI"));
    UserTable users;
    QString userFailure;
    if (!LoadUsers(userFile, users, LoadMode::Startup, &userFailure))
        check.problems.append(userFailure);
    // What is read of a cut record is not the user that was saved: it does
    // not count as one who can log in.
    UserTable readable = users;
    for (const int u : UserRecordsCutInFile(userFile)) {
        check.problems.append(QStringLiteral("The record of user %1 in %2 is longer than the %3 characters a read "
                                             "returns: it is read cut, and that user cannot log in.")
                                  .arg(u)
                                  .arg(userFile)
                                  .arg(kIniReadLimit));
        readable[u] = User{};
    }
    int named = 0;
    for (int u = 1; u <= kUserCount; ++u)
        named += users[u].UserName.isEmpty() ? 0 : 1;
    check.found.append(QStringLiteral("users %1: %2 of %3, %4")
                           .arg(userFile)
                           .arg(named)
                           .arg(kUserCount)
                           .arg(HasAdministratorWhoCanLogIn(readable)
                                    ? QStringLiteral("an administrator can log in")
                                    : QStringLiteral("no administrator can log in at the console")));
    return check;
}

} // namespace marlin
