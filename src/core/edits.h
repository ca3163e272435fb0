#pragma once

// What a face hands the engine to apply: a settings window's working copy,
// or the same edit made through another face. Server::apply takes each one.

#include "config/settings.h"
#include "config/users.h"
#include "router/router_file.h"
#include "router/router_table.h"

#include <QString>
#include <array>

namespace marlin {

// The comm ports and network ports as the two port settings windows edit
// them: a working copy of all 96 checked and applied in one step.
using ComPortTable = std::array<ComPortSettings, kPortCount + 1>;
using NetPortTable = std::array<NetPortSettings, kPortCount + 1>;

// The network ports as typed: the port number stays text until the apply,
// so that what is not a number is refused instead of being stored as 0.
// portText[n] is what counts for NetPort of port n.
struct NetPortEdits {
    NetPortTable ports;
    std::array<QString, kPortCount + 1> portText;
    // The same for NetLocalPort (empty or 0: any free port).
    std::array<QString, kPortCount + 1> localPortText;
};

// The display settings as the General Settings window edits them: the eight
// colours (Windows RGB values) and the router of each view column.
struct DisplaySettings {
    std::array<double, kColorCount + 1> Colors{};
    std::array<qint16, kColumnCount + 1> ColumnPosition{};
};

// The edits, each naming the working copy it applies (which must outlive
// the call).
struct UsersEdit {
    const UserTable &users;
};
struct SettingsEdit {
    const Settings &settings;
};
struct DisplayEdit {
    const DisplaySettings &display;
};
// All 96 tables as edited; edits names the routers the operator changed (a
// router in it may replace a file that could not be read at the last load).
struct TablesEdit {
    const RouterTableArray &tables;
    const RouterTableSet &edits;
};
struct ComPortsEdit {
    const ComPortTable &ports;
};
struct NetPortsEdit {
    const NetPortEdits &ports;
};

// How applying the comm or network ports ended.
struct PortSettingsOutcome {
    enum Result {
        Applied,    // written, in force, comm ports re-opened
        Refused,    // a check failed: text is the message; nothing changed
        NotWritten, // WREN.INI could not be written: text is the reason; nothing changed
    };
    Result result = Applied;
    QString text;
    // The port the refusal is about, when it is about one port's fields.
    int port = 0;
};

} // namespace marlin
