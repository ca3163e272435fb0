#pragma once

#include "clients/client_table.h"

#include <QTimer>
#include <QWidget>
#include <array>

class QLabel;
class QPushButton;

namespace marlin {

class Server;

// A round lamp: filled while its client record is live, an empty ring
// otherwise.
class ConnectionLamp : public QWidget {
    Q_OBJECT

public:
    explicit ConnectionLamp(QWidget *parent = nullptr);
    bool filled() const { return on; }
    void setFilled(bool filled);
    QSize sizeHint() const override { return {14, 14}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool on = false;
};

// "Client Connection Status": the 64 client records, redrawn every 250 ms
// while the window is open.
class frmConStat : public QWidget {
    Q_OBJECT

public:
    explicit frmConStat(const Server &server, QWidget *parent = nullptr);

    std::array<QLabel *, kClientCount + 1> lblCon{};
    std::array<QLabel *, kClientCount + 1> lblIP{};
    std::array<ConnectionLamp *, kClientCount + 1> shpCon{};
    QPushButton *cmdClose = nullptr;
    QTimer timeCon;

private:
    void tick();

    const Server &server;
};

} // namespace marlin
