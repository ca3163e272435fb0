#pragma once

#include <QString>
#include <QtGlobal>
#include <array>

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
    bool operator==(const NetPortSettings &) const = default;
};

// The whole of WREN.INI in memory. Tables are indexed from 1; element 0 is
// never used.
struct Settings {
    std::array<NetworkCard, kCardCount + 1> Cards;
    std::array<ComPortSettings, kPortCount + 1> ComPorts;
    std::array<NetPortSettings, kPortCount + 1> NetPorts;
    std::array<double, kColorCount + 1> Colors{};
    std::array<qint16, kColumnCount + 1> ColumnPosition{};
    bool operator==(const Settings &) const = default;
};

// Fills the model from the settings file, key by key in the file's order.
// Returns the text of the failure that ended the load early (a number too
// large for its field), or an empty text when every key was read. Fields
// read before the failure keep their new values, the rest their old ones.
QString LoadSettings(const QString &settingsFile, Settings &settings);

// Writes every key of the model, defaults included, in one atomic rewrite of
// the file; lines the model does not own are kept. False when the file could
// not be written (the old file is then left as it was).
bool SaveSettings(const QString &settingsFile, const Settings &settings);

} // namespace marlin
