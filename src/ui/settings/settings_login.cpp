#include "settings_login.h"

#include "core/server.h"
#include "ui/messages.h"

#include <QWidget>

namespace marlin {

SettingsLogin::SettingsLogin(QWidget *window, const Server &server, SettingsKind kind)
    : QObject(window), window(window), server(server), kind(kind), openedBy(server.currentUser())
{
    setObjectName(QStringLiteral("settingsLogin"));
}

bool SettingsLogin::holds() const { return SettingsWindowStaysOpen(server, openedBy, kind); }

bool SettingsLogin::mayApply()
{
    if (MayApplySettings(server, openedBy, kind))
        return true;
    openMessage(window->window(), QMessageBox::Warning, window->windowTitle(), settingsRefusalText(kind));
    window->close();
    return false;
}

bool SettingsLogin::mayApply(QWidget *settingsWindow)
{
    auto *login = settingsWindow->findChild<SettingsLogin *>(QString(), Qt::FindDirectChildrenOnly);
    return login && login->mayApply();
}

void SettingsLogin::closeWithoutLogin(const QList<QWidget *> &windows)
{
    for (QWidget *w : windows) {
        const auto *login = w ? w->findChild<SettingsLogin *>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
        if (login && !login->holds())
            w->close();
    }
}

} // namespace marlin
