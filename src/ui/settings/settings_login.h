#pragma once

#include "core/console_actions.h"

#include <QObject>

class QWidget;

namespace marlin {

class Server;

// The login a settings window belongs to: the user logged in when it opened.
// The main window closes the window, dropping its edits, once that login has
// ended or lost the privilege (closeWithoutLogin); and every Apply asks
// mayApply at that moment.
class SettingsLogin : public QObject {
    Q_OBJECT

public:
    SettingsLogin(QWidget *window, const Server &server, SettingsKind kind);

    int opener() const { return openedBy; }
    bool holds() const;
    // False, with a message, when the login may not apply now; the window
    // then closes with its edits.
    bool mayApply();

    // The check of settingsWindow's own SettingsLogin; a window without one
    // may not apply.
    static bool mayApply(QWidget *settingsWindow);
    // Closes each settings window among windows whose login no longer holds.
    static void closeWithoutLogin(const QList<QWidget *> &windows);

private:
    QWidget *window = nullptr;
    const Server &server;
    SettingsKind kind;
    int openedBy = 0;
};

} // namespace marlin
