#include "modem_lines.h"

#include "config/convert.h"

#include <QSerialPort>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace marlin {

namespace {

// Majors of pseudo-terminal slaves: the Unix 98 ones, and the old BSD ones.
constexpr unsigned kFirstPtySlaveMajor = 136;
constexpr unsigned kLastPtySlaveMajor = 143;
constexpr unsigned kBsdPtySlaveMajor = 3;

QString problemText(const char *line, int port)
{
    return QStringLiteral("There is a problem with the %1 settings on port #").arg(QLatin1String(line)) + Str(port)
           + QStringLiteral(".  Please check the communication settings.");
}

} // namespace

bool SerialModemLines::setDataTerminalReady(bool on) { return port.setDataTerminalReady(on); }

bool SerialModemLines::setRequestToSend(bool on) { return port.setRequestToSend(on); }

bool SerialModemLines::isPseudoTerminal() const
{
    struct stat info {};
    if (!port.isOpen() || ::fstat(int(port.handle()), &info) != 0 || !S_ISCHR(info.st_mode))
        return false;
    const unsigned deviceMajor = major(info.st_rdev);
    return (deviceMajor >= kFirstPtySlaveMajor && deviceMajor <= kLastPtySlaveMajor) || deviceMajor == kBsdPtySlaveMajor;
}

QStringList ApplyModemLines(ModemLines &lines, int port, bool dtr, bool rts)
{
    QStringList problems;
    const bool dtrSet = lines.setDataTerminalReady(dtr);
    const bool rtsSet = lines.setRequestToSend(rts);
    if (lines.isPseudoTerminal())
        return problems;
    if (!dtrSet)
        problems.append(problemText("DTR", port));
    if (!rtsSet)
        problems.append(problemText("RTS", port));
    return problems;
}

} // namespace marlin
