#include "messages.h"

namespace marlin {

QMessageBox *openMessage(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text,
                         QMessageBox::StandardButtons buttons)
{
    auto *box = new QMessageBox(icon, title, text, buttons, parent);
    // Texts carry names, descriptions and paths as typed: never markup.
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return box;
}

QMessageBox *openSaveFailure(QWidget *parent, const QString &fileKind, const QString &path, const QString &reason,
                             const QString &kept)
{
    return openMessage(parent, QMessageBox::Warning, QStringLiteral("Error"),
                       QStringLiteral("The %1 %2 could not be written: %3.\n\n%4 still in this window.")
                           .arg(fileKind, path, reason, kept));
}

} // namespace marlin
