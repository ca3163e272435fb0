#pragma once

#include <QMessageBox>
#include <QString>

namespace marlin {

// A message box that does not block: the server keeps serving while it
// waits for its OK, and it deletes itself when closed.
QMessageBox *openMessage(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text,
                         QMessageBox::StandardButtons buttons = QMessageBox::Ok);

// A settings window whose file could not be written says so, naming the
// file and the reason, and keeps its edits: kept says what stays.
QMessageBox *openSaveFailure(QWidget *parent, const QString &fileKind, const QString &path, const QString &reason,
                             const QString &kept);

} // namespace marlin
