#pragma once

#include "router/router_file.h"
#include "router/router_table.h"

#include <QWidget>
#include <array>
#include <memory>

class QCheckBox;
class QComboBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QToolButton;

namespace marlin {

class Server;

// "Router Configuration Utility": every router table on a working copy,
// one router, source and destination at a time. Nothing reaches the tables
// in force or their files before "Apply and Save"; "Cancel" or the close
// box drops the copy. The window is modeless and stays open while the
// operator works elsewhere.
class frmSetRTR : public QWidget {
    Q_OBJECT

public:
    explicit frmSetRTR(Server &server, QWidget *parent = nullptr);
    ~frmSetRTR() override;

    QGroupBox *frameRtr = nullptr;
    QLineEdit *txtRTRName = nullptr;
    QToolButton *cmdRTRLeft = nullptr;
    QToolButton *cmdRTRRight = nullptr;
    QLabel *lblRTR = nullptr;
    QTabWidget *SSTab1 = nullptr;

    QToolButton *cmdSRCLEFT = nullptr;
    QToolButton *cmdSRCRight = nullptr;
    QLabel *lblSRC = nullptr;
    QCheckBox *chkSRC = nullptr;
    QComboBox *cmbSRC = nullptr;
    QComboBox *imgSRC = nullptr;
    QLineEdit *txtSRCLBL = nullptr;
    QLineEdit *txtSRCDESC = nullptr;
    QLineEdit *txtSRCHL = nullptr;
    std::array<QCheckBox *, kLevelCount + 1> chkL{}; // chkL[1..8]

    QToolButton *cmdDESLeft = nullptr;
    QToolButton *cmdDESRight = nullptr;
    QLabel *lblDES = nullptr;
    QCheckBox *chkDES = nullptr;
    QComboBox *cmbDES = nullptr;
    QComboBox *imgDES = nullptr;
    QLineEdit *txtDESLBL = nullptr;
    QLineEdit *txtDESDESC = nullptr;
    QLineEdit *txtDESHL = nullptr;
    QComboBox *cmbDefSrc = nullptr;

    QPushButton *cmdExport = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCANCEL = nullptr;

    int currentRouter() const { return router; }
    int currentSource() const { return source; }
    int currentDestination() const { return destination; }
    // The working copy of a router's table, edits included.
    const RouterTable &workTable(int r) const;

    // The save dialog "Export To Text" opens; choosing a file exports to it.
    QFileDialog *openExportDialog();
    // Writes the current router's table as it is in force (edits not yet
    // applied are not in it); says so in a message when it cannot.
    bool exportTo(const QString &path);

private:
    void buildSources(QWidget *tab);
    void buildDestinations(QWidget *tab);
    void stepRouter(int delta);
    void stepSource(int delta);
    void stepDestination(int delta);
    void showRouter();
    void showSource();
    void showDestination();
    RouterTable &edit();
    void apply();

    Server &server;
    QObject *keyFilter = nullptr;
    std::unique_ptr<RouterTableArray> work;
    RouterTableSet edited;
    int router = 1;
    int source = 1;
    int destination = 1;
    // True while the window fills its controls from the working copy: no
    // edit is recorded then.
    bool filling = false;
};

} // namespace marlin
