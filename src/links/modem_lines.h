#pragma once

#include <QString>
#include <QStringList>

class QSerialPort;

namespace marlin {

// The two modem lines a comm port raises for its router. They can only be
// set on an open port.
class ModemLines {
public:
    virtual ~ModemLines() = default;
    virtual bool setDataTerminalReady(bool on) = 0;
    virtual bool setRequestToSend(bool on) = 0;
    // A pseudo-terminal has no modem lines and refuses them every time: that
    // is no fault of the port, and nobody is told.
    virtual bool isPseudoTerminal() const = 0;
};

// The modem lines of an open serial port.
class SerialModemLines : public ModemLines {
public:
    explicit SerialModemLines(QSerialPort &port) : port(port) {}
    bool setDataTerminalReady(bool on) override;
    bool setRequestToSend(bool on) override;
    bool isPseudoTerminal() const override;

private:
    QSerialPort &port;
};

// Sets DTR, then RTS, and returns the problem text of each line a real
// serial line refused, in that order.
QStringList ApplyModemLines(ModemLines &lines, int port, bool dtr, bool rts);

} // namespace marlin
