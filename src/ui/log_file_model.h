#pragma once

#include "config/log_file_index.h"

#include <QAbstractListModel>
#include <QElapsedTimer>
#include <QTimer>

namespace marlin {

// The lines of one log file for a list view. The file is indexed a slice at
// a time from a zero timer, so every other event (panels, links, clocks) is
// served between two slices; a slower timer watches the file's size and
// follows what the server appends, or starts again when the file is
// replaced or shortened. Only the lines on screen are ever read.
class LogFileModel : public QAbstractListModel {
    Q_OBJECT

public:
    explicit LogFileModel(const QString &path, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    const QString &path() const { return lines.path(); }
    bool fileExists() const { return lines.exists(); }
    bool indexing() const { return timeSlice.isActive(); }
    // Looks for the first row from `from` on (wrapping round to the top)
    // whose line contains text, a slice at a time like the indexing, and
    // tells the row (or -1) by findFinished. A new search replaces one
    // under way.
    void find(const QString &text, int from);
    bool finding() const { return timeFind.isActive(); }
    // The row with the longest line among those shown, or -1.
    int longestRow() const;

    // Bytes indexed per slice: a few milliseconds of work at most.
    static constexpr qint64 kSliceBytes = 256 * 1024;
    static constexpr int kPollMs = 500;
    // New rows are handed to the view at most this often while a large file
    // is read, since every batch makes the view lay out its rows again.
    static constexpr int kPublishMs = 100;
    // Bytes searched per slice of a find.
    static constexpr qint64 kFindSliceBytes = 512 * 1024;

    QTimer timeSlice;
    QTimer timePoll;
    QTimer timeFind;

signals:
    // The file appeared or vanished, or the reading started or finished.
    void stateChanged();
    void findFinished(int row);

private:
    void slice();
    void poll();
    void publish();
    void findSlice();
    void finishFind(int row);

    struct Search {
        QString text;
        int origin = 0;        // the row the search started from
        qsizetype next = 0;    // the line to look at next
        bool wrapped = false;  // gone round from the end to the top
    } search;

    mutable LogFileIndex lines;
    int published = 0;
    QElapsedTimer sincePublish;
};

} // namespace marlin
