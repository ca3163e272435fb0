#pragma once

#include "config/load_mode.h"

#include <QHostAddress>
#include <QList>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <array>
#include <utility>

namespace marlin {

constexpr int kCardCount = 4;
constexpr int kPortCount = 96;
constexpr int kColorCount = 8;
constexpr int kColumnCount = 96;

struct NetworkCard {
    QString CardIPAddress;
    QString CardTCPPort;
    bool operator==(const NetworkCard &) const = default;
};

struct ComPortSettings {
    bool ComEnable = false;
    qint16 ComBaudRate = 0;   // index 1..13 of the baud list
    qint16 ComDataBits = 0;   // index 1..4
    qint16 ComStopBits = 0;   // index 1..3
    qint16 ComParity = 0;     // index 1..3
    bool ComDTR = false;
    bool ComRTS = false;
    qint16 ComDeviceType = 0; // 1 = router
    qint16 ComIDNumber = 0;   // router served
    qint16 ComLevel = 0;
    qint16 ComProtocol = 0;   // 1 Leitch, 2 Image Video 9540, 3 framed dialect
    QString ComDescription;
    bool operator==(const ComPortSettings &) const = default;
};

// A colour of the settings (Color_n, a Windows RGB value: red in the low
// byte) as 0x00BBGGRR. A value that is no colour (negative, above
// 16777215, infinite, not a number) is black; a fraction is dropped. Every
// face converts through this one rule, so all show one file alike.
quint32 WindowsRgb(double value);
// The same colour split into its parts, and back into the value the file
// stores; "#rrggbb" for the faces that name colours so.
struct SettingsColor {
    int red = 0;
    int green = 0;
    int blue = 0;
    QString hexName() const;
};
SettingsColor settingsColor(double value);
double settingsColorValue(const SettingsColor &color);

struct NetPortSettings {
    bool NetEnabled = false;
    QString NetIPAddress;
    qint32 NetPort = 0;
    qint16 NetPortType = 0;   // 0 TCP, anything else UDP
    QString NetUser;
    QString NetPassword;
    qint16 NetDeviceType = 0;
    qint16 NetIDNumber = 0;
    qint16 NetLevel = 0;
    qint16 NetProtocol = 0;
    QString NetDescription;
    qint16 NetRetryMS = 0;
    // The local UDP port the port's socket is bound to, so a router that
    // reports unasked can be pointed at it; 0: any free port.
    qint32 NetLocalPort = 0;
    bool operator==(const NetPortSettings &) const = default;
};

// The web face: off unless switched on, so an upgraded installation opens
// no new port by itself. Port 0 lets the system pick a free one.
struct WebSettings {
    bool WebEnabled = false;
    QString WebIPAddress;
    qint32 WebTCPPort = 0;
    // Host names a request may name besides the listen address (a reverse
    // proxy's name), separated by commas; empty: the address alone.
    QString WebAllowedHosts;
    // Connections one client address may hold open at once.
    qint32 WebConnectionsPerAddress = 32;
    bool operator==(const WebSettings &) const = default;
};

// Who may open a panel connection: PanelAllowedNetworks lists networks
// ("127.0.0.0/8, 10.20.0.0/16"; an address alone is one host), empty lets
// every address in. One address holds at most PanelConnectionsPerAddress
// connections.
struct PanelAccess {
    QString PanelAllowedNetworks;
    qint32 PanelConnectionsPerAddress = 64;
    bool operator==(const PanelAccess &) const = default;
};

// PanelAllowedNetworks read: the networks it names and the entries that
// are not a network ("10.0.0/33: not a network"). An entry that is not a
// network admits nobody: a list of bad entries alone lets no panel in.
struct AllowedNetworks {
    QList<std::pair<QHostAddress, int>> networks;
    QStringList problems;
    bool any = false; // empty setting: every address is allowed
    bool allows(const QHostAddress &address) const;
};
AllowedNetworks ParseAllowedNetworks(const QString &text);

// The whole of WREN.INI in memory. Tables are indexed from 1; element 0 is
// never used.
struct Settings {
    std::array<NetworkCard, kCardCount + 1> Cards;
    std::array<ComPortSettings, kPortCount + 1> ComPorts;
    std::array<NetPortSettings, kPortCount + 1> NetPorts;
    std::array<double, kColorCount + 1> Colors{};
    std::array<qint16, kColumnCount + 1> ColumnPosition{};
    WebSettings Web;
    PanelAccess Panels;
    bool operator==(const Settings &) const = default;
};

// The keys WREN.INI may hold, lower case, by lower-case section name: the
// names the load reads and the save writes.
const QHash<QString, QSet<QString>> &SettingsKeyNames();

// Why the web face cannot listen where its settings say, empty when it can:
// an address that is not an IP address, or a port outside 0..65535.
QString WebEndpointProblem(const WebSettings &web);

// Fills the model from the settings file, key by key in the file's order,
// and returns the failures met, in that order: each key whose number does
// not fit its field ("Overflow in [Com_Port_2] Baud_Rate"), and a file that
// exists but cannot be read or holds none of the settings sections (garbage,
// emptied), or is missing on a reload. What such a failure leaves in the
// model follows mode (a damaged file: the defaults at startup, the settings
// in force on a reload); every other key is read all the same.
QStringList LoadSettings(const QString &settingsFile, Settings &settings, LoadMode mode = LoadMode::Startup);

// Writes every key of the model, defaults included, in one atomic rewrite of
// the file; lines the model does not own are kept. False, with the reason in
// error, when the file could not be written or when it exists but could not
// be read: the old file is then left as it was.
bool SaveSettings(const QString &settingsFile, const Settings &settings, QString *error = nullptr);

} // namespace marlin
