#pragma once

#include <QSerialPort>
#include <QString>
#include <optional>

namespace marlin {

// The line settings text "baud,parity,data,stop" of the four list indexes a
// comm port stores ("9600,n,8,1" for the defaults). An index outside its list
// leaves its field empty and keeps the commas.
QString BuildCommSettings(int baudIndex, int dataBitsIndex, int parityIndex, int stopBitsIndex);

struct SerialLineSettings {
    qint32 baudRate = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

// The settings a Linux serial line can take from a settings text; nothing
// when a field is empty or not one the line supports (1.5 stop bits among
// them: the serial driver would quietly use 1).
std::optional<SerialLineSettings> parseCommSettings(const QString &text);

} // namespace marlin
