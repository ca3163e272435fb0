#pragma once

#include "core/console_actions.h"

#include <QWidget>
#include <array>

class QLabel;
class QListWidget;
class QPushButton;
class QTabWidget;

namespace marlin {

class Server;

// "General Settings": the eight colours of the overall router view and the
// order of its router columns, edited in the window and written only by
// "Apply And Save".
class frmSetGen : public QWidget {
    Q_OBJECT

public:
    explicit frmSetGen(Server &server, QWidget *parent = nullptr);

    QTabWidget *SSTab1 = nullptr;
    std::array<QLabel *, kColorCount + 1> lblSBCOLOR{};
    std::array<QPushButton *, kColorCount + 1> cmdSBCOLOR{};
    QListWidget *lstColShow = nullptr;
    QPushButton *cmdColUp = nullptr;
    QPushButton *cmdColDown = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;

    // What the colour picker gives a swatch.
    void setSwatch(int index, const QColor &color);
    QColor swatch(int index) const;

private:
    void pickColor(int index);
    void move(int step);
    void apply();

    Server &server;
    std::array<QColor, kColorCount + 1> swatches{};
};

} // namespace marlin
