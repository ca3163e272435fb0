#pragma once

#include "config/settings.h"

#include <QWidget>
#include <array>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace marlin {

class Server;

// "Network Settings": the local addresses of the four network cards the
// panels connect to, and where the web face listens. Saved addresses take
// effect at the next start; the cards' port numbers are set in the settings
// file only.
class frmSetNic : public QWidget {
    Q_OBJECT

public:
    explicit frmSetNic(Server &server, QWidget *parent = nullptr);

    std::array<QLineEdit *, kCardCount + 1> txtIP{};
    QCheckBox *chkWebEnabled = nullptr;
    QLineEdit *txtWebIP = nullptr;
    QSpinBox *txtWebPort = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;

private:
    void save();
    Server &server;
};

} // namespace marlin
