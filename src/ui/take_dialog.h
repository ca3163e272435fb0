#pragma once

#include <QWidget>
#include <array>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace marlin {

class Server;
struct TakeRequest;
enum class TakeRefusal;

// "Switch Router": the operator switches a source to a destination on one
// router. The checks and the take itself are the engine's; this window
// gathers the choice, asks for confirmation and shows the answers.
class frmTake : public QWidget {
    Q_OBJECT

public:
    // Starts on router takeRouter (1..96) with the source and destination of
    // the view's cell, 0 when none. A router the list does not hold starts
    // on the first one of the list.
    frmTake(Server &server, int takeRouter, int takeSource, int takeDestination, QWidget *parent = nullptr);

    QComboBox *cmbRTR = nullptr;
    QComboBox *imgcmbSRC = nullptr;
    QComboBox *imgcmbDES = nullptr;
    std::array<QCheckBox *, 8> chkL{};   // levels 0..7
    QLineEdit *txtCom = nullptr;
    QCheckBox *chkHigh = nullptr;
    std::array<QPushButton *, 2> cmdTake{};   // "Take", "Take And Done"
    QPushButton *cmdCANCEL = nullptr;

    int selectedRouter() const;
    int selectedSource() const;
    int selectedDestination() const;
    // Whether the dialog stays open when another window becomes active: from
    // the first press of a take button on.
    bool keepsOpen() const;

private:
    void selectRouter();
    void selectSource(int source);
    void sourceChosen();
    void destinationChosen();
    void take(bool andDone);
    void execute(const TakeRequest &take, bool andDone);
    void refuse(const TakeRequest &take, TakeRefusal refusal);

    Server &server;
    int TakeSource = 0;
    int TakeDestination = 0;
};

} // namespace marlin
