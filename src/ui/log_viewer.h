#pragma once

#include <QDate>
#include <QWidget>

class QDateEdit;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;

namespace marlin {

class Logs;
class LogFileModel;

// One day's log, read-only, following the file while the server appends to
// it. "Open in Text Editor" hands the file to the desktop's editor.
class LogFileWindow : public QWidget {
    Q_OBJECT

public:
    LogFileWindow(const QString &path, const QDate &day, QWidget *parent = nullptr);

    LogFileModel *model() const { return lines; }

    QLabel *lblState = nullptr;
    QListView *lstLines = nullptr;
    QLineEdit *txtFind = nullptr;
    QPushButton *cmdFind = nullptr;
    QPushButton *cmdEditor = nullptr;

    static QString noLogText(const QDate &day);
    static constexpr int kLayoutBatch = 20000;

private:
    void showState();
    void findNext();
    void showFound(int row);
    void openInEditor();

    LogFileModel *lines = nullptr;
    QDate day;
    bool followEnd = true;
};

// The date picker of a log: a day and "Load", which opens that day's file
// in a LogFileWindow. The picker stays open after Load.
class LogDayPicker : public QWidget {
    Q_OBJECT

public:
    enum class Kind { ErrorLog, SwitchLog };

    LogDayPicker(const Logs &logs, Kind kind, QWidget *parent = nullptr);

    QString pathOf(const QDate &day) const;

    QDateEdit *dateFile = nullptr;
    QPushButton *cmdLoad = nullptr;

signals:
    // A file window to show; the main window places it beside the picker.
    // Without a receiver it opens as a window of its own.
    void fileWindowOpened(QWidget *window);

private:
    void load();

    const Logs &logs;
    Kind kind;
};

class frmErrorLog : public LogDayPicker {
    Q_OBJECT
public:
    explicit frmErrorLog(const Logs &logs, QWidget *parent = nullptr);
};

class frmSwLog : public LogDayPicker {
    Q_OBJECT
public:
    explicit frmSwLog(const Logs &logs, QWidget *parent = nullptr);
};

} // namespace marlin
