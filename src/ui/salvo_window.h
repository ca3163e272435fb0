#pragma once

#include "core/salvos.h"

#include <QDialog>
#include <QWidget>

class QComboBox;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;

namespace marlin {

class Server;

// "Salvos": the named lists of takes the server keeps. The operator picks
// one, sees its takes, and fires it after a confirmation that lists what
// will be switched; Master Operators and Administrators create, edit and
// delete them, or make one from the current sources of chosen
// destinations. The rules and the firing are the engine's.
class frmSalvos : public QWidget {
    Q_OBJECT

public:
    explicit frmSalvos(Server &server, QWidget *parent = nullptr);

    QListWidget *lstSalvos = nullptr;
    QTableWidget *tblTakes = nullptr;
    QLineEdit *txtComment = nullptr;
    QPushButton *cmdFire = nullptr;
    QPushButton *cmdNew = nullptr;
    QPushButton *cmdEdit = nullptr;
    QPushButton *cmdDelete = nullptr;
    QPushButton *cmdFromCurrent = nullptr;

    // The lines the confirmation lists, one per take: router, destination
    // and source by their table names.
    static QStringList takeLines(const Server &server, const Salvo &salvo);
    // Fires the chosen salvo as the user logged in, without asking, and
    // returns the text the result message shows.
    QString fireChosen();

private:
    void refill();
    void showTakes();
    const Salvo *chosen() const;
    void confirmFire();
    void openEditor(const Salvo &salvo, const QString &original);
    void openFromCurrent();
    void deleteChosen();

    Server &server;
};

// The editor of one salvo: its name, its comment and its takes, one a line
// as "router destination source [levels]" (levels as digits 0..7, all
// when left out).
class frmSalvoEdit : public QDialog {
    Q_OBJECT

public:
    frmSalvoEdit(Server &server, const Salvo &salvo, const QString &original, QWidget *parent = nullptr);

    QLineEdit *txtName = nullptr;
    QLineEdit *txtComment = nullptr;
    QPlainTextEdit *txtTakes = nullptr;
    QPushButton *cmdSave = nullptr;

    // The takes the text names, or the line that cannot be read (1-based)
    // in badLine.
    static QList<SalvoTake> parseTakes(const QString &text, int *badLine);
    static QString takesText(const Salvo &salvo);
    // Saves through the engine; the refusal text, empty when saved.
    QString save();

private:
    Server &server;
    QString original;
};

// Chooses destinations of one router whose current sources make a new salvo.
class frmSalvoFromCurrent : public QDialog {
    Q_OBJECT

public:
    explicit frmSalvoFromCurrent(Server &server, QWidget *parent = nullptr);

    QComboBox *cboRouter = nullptr;
    QListWidget *lstDestinations = nullptr;

    // The takes that put back the current source of each chosen destination.
    Salvo salvo() const;

private:
    void fillDestinations();
    Server &server;
};

} // namespace marlin
