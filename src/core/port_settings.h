#pragma once

#include "config/settings.h"
#include "core/edits.h"

#include <QString>
#include <array>

namespace marlin {

class Server;

// The checks of the two port settings windows' working copies (ComPortTable,
// NetPortEdits in core/edits.h). The windows only ask and show; the rules
// live here so that any other face reaches the same ones.

// Two ports, first and second, in the order the check met them; 0 and 0
// when there is none.
struct PortPair {
    int first = 0;
    int second = 0;
    explicit operator bool() const { return first != 0; }
};

// The first pair of different enabled ports i, j (i outer, j inner, both
// 1..96) with the same device type and the same ID number. Ports of one kind
// are compared only with each other.
PortPair FindDuplicateComID(const ComPortTable &ports);
PortPair FindDuplicateNetID(const NetPortTable &ports);
// The refusal both windows show for such a pair; the network window names
// its ports "com port" too.
QString duplicateIdText(int first, int second);

// The device comm port n opens and whether it is there now.
struct ComDevice {
    QString path;
    bool exists = false;
};
ComDevice comDevice(const Server &server, int port);

// The first port whose edited line settings a serial line cannot take (1.5
// stop bits, which Linux has no setting for, or a list position outside its
// list), 0 when there is none. Checked for every enabled port, open or not,
// and for every port whose line settings differ from stored: the re-open
// after the apply would fail on them.
int FindUnusableLineSettings(const ComPortTable &stored, const ComPortTable &edited);
QString unusableLineSettingsText(int port, const ComPortSettings &settings);

// Opens, with the edited line settings, every port enabled in ports whose
// channel is not open yet, and closes it again: the apply that follows opens
// it for good. The first port that cannot be opened, 0 when all could.
int TestOpenComPorts(const Server &server, const ComPortTable &ports);
QString testOpenFailureText(int port);

NetPortEdits netPortEdits(const Settings &settings);

// What an address and port field may hold. An enabled port needs an
// address the links take (isNetPortAddress: a host name too on TCP) and a
// port number 1..65535; a disabled one may leave them empty (or 0). A field
// is checked when its port is enabled or when it differs from the stored
// value: what an old file holds for a disabled port is kept. Empty when port
// n passes, else the refusal, which names the field and the port; value gets
// the port number when it passes.
QString netPortFieldRefusal(int port, const NetPortSettings &stored, const NetPortSettings &edited,
                            const QString &portText, qint32 *value = nullptr);

} // namespace marlin
