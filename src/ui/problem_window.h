#pragma once

#include <QTimer>
#include <QWidget>

class QLabel;
class QPushButton;

namespace marlin {

// The alert of a lost link: flashes red and blue with a beep every half
// second until the link comes back or the operator presses OK.
class frmPROBLEM : public QWidget {
    Q_OBJECT

public:
    explicit frmPROBLEM(const QString &alertText, QWidget *parent = nullptr);

    QLabel *lblPROBLEM = nullptr;
    QLabel *lblHEAD = nullptr;
    QPushButton *cmdOK = nullptr;
    QTimer timePROBLEM;

    bool showingRed() const { return red; }

private:
    void flash();
    bool red = false;
};

} // namespace marlin
