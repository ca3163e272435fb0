#pragma once

#include <QGroupBox>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class QComboBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace marlin {

// What a comm or network port serves, as both port windows show it.
struct EquipmentFields {
    qint16 deviceType = 0;
    qint16 router = 0;
    qint16 level = 0;
    qint16 protocol = 0;
    QString description;
};

// "Broadcast Equipment Settings": Type, Router #, Main Router Level,
// Protocol and Description. Choosing the type "Router" offers its languages
// afresh, with none chosen.
class EquipmentFrame : public QGroupBox {
    Q_OBJECT

public:
    explicit EquipmentFrame(QWidget *parent = nullptr);

    QComboBox *cmbType = nullptr;
    QComboBox *cmbID = nullptr;
    QComboBox *cmbLevel = nullptr;
    QComboBox *cmbPro = nullptr;
    QLineEdit *txtDesc = nullptr;

    // The type first: it fills the protocol list.
    void showFields(const EquipmentFields &fields);
    // What the controls say; a list with nothing chosen keeps what stored had.
    EquipmentFields readFields(const EquipmentFields &stored) const;

private:
    void fillProtocols();
};

// A named list of items, and numbers shown with a leading space where a sign
// would go, so the lists line up with the numbers the files hold.
QComboBox *makeList(const char *name, const QStringList &items);
QStringList numberItems(int from, int to);

// The number of the port on screen, framed, wide enough for "96".
QLabel *makePortNumber(const QString &accessibleName);
// The caption, then the number between its arrows.
QHBoxLayout *makePortRow(QLabel *caption, QToolButton *back, QLabel *number, QToolButton *forward);
// "Apply and Save" (cmdOK) and "Cancel" (cmdCANCEL).
QPushButton *makeApplyButton();
QPushButton *makeCancelButton();

// The port windows' layout: the port row on top, two frames side by side,
// "Apply and Save" and "Cancel" at the bottom right.
void layOutPortWindow(QWidget *window, QHBoxLayout *portRow, QWidget *left, QWidget *right, QPushButton *ok,
                      QPushButton *cancel);

} // namespace marlin
