#pragma once

#include "config/ini_file.h"
#include "config/settings.h"

#include <QList>
#include <QString>

namespace marlin {

// One thing wrong with a value of WREN.INI, named by its section and key.
// A refusal is a value the server cannot use as it stands (the port, card
// or listener it belongs to is not used, or works otherwise than written);
// a warning is reported but changes nothing (a name the server does not
// know, which another tool may have written).
struct SettingsProblem {
    enum class Kind { Refusal, Warning };
    Kind kind = Kind::Refusal;
    QString section;
    QString key;
    QString text;
    // "[section] key: text", or "[section]: text" for a whole section.
    QString message() const;
};

// Every value of the settings that the server cannot use as written: the
// ports that are enabled (language, router number, line settings,
// addresses and port numbers, two ports on one router, two UDP ports on one
// local port), the network cards in use, the web listener and the panel
// limits. In the order of the file's sections.
QList<SettingsProblem> CheckSettingsValues(const Settings &settings);
// The sections and keys of a settings document that the server does not
// read (misspelt, or from another tool): warnings only.
QList<SettingsProblem> CheckSettingsNames(const IniDocument &doc);

} // namespace marlin
