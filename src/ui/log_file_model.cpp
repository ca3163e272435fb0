#include "log_file_model.h"

#include <limits>

namespace marlin {

LogFileModel::LogFileModel(const QString &path, QObject *parent) : QAbstractListModel(parent), lines(path)
{
    timeSlice.setObjectName(QStringLiteral("timeSlice"));
    timeSlice.setInterval(0);
    connect(&timeSlice, &QTimer::timeout, this, &LogFileModel::slice);
    timePoll.setObjectName(QStringLiteral("timePoll"));
    timePoll.setInterval(kPollMs);
    connect(&timePoll, &QTimer::timeout, this, &LogFileModel::poll);
    timePoll.start();
    sincePublish.start();
    if (lines.exists())
        timeSlice.start();
}

int LogFileModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : published;
}

QVariant LogFileModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= published)
        return {};
    return lines.line(index.row());
}

void LogFileModel::slice()
{
    const bool more = lines.indexMore(kSliceBytes);
    // The first slice goes to the view at once, so a large file opens with
    // its first page showing.
    if (!more || published == 0 || sincePublish.elapsed() >= kPublishMs)
        publish();
    if (!more) {
        timeSlice.stop();
        emit stateChanged();
    }
}

void LogFileModel::publish()
{
    sincePublish.restart();
    const int total = int(std::min<qsizetype>(lines.lineCount(), std::numeric_limits<int>::max()));
    // The last row shown may have been a line still being written.
    if (published > 0 && published <= total)
        emit dataChanged(index(published - 1), index(published - 1));
    if (total > published) {
        beginInsertRows({}, published, total - 1);
        published = total;
        endInsertRows();
    }
}

void LogFileModel::poll()
{
    switch (lines.poll()) {
    case LogFileIndex::Change::None:
        return;
    case LogFileIndex::Change::Replaced: {
        const bool existed = lines.exists();
        beginResetModel();
        lines.reset();
        published = 0;
        endResetModel();
        if (existed != lines.exists())
            emit stateChanged();
        break;
    }
    case LogFileIndex::Change::Grown:
        break;
    }
    if (lines.exists() && !timeSlice.isActive()) {
        timeSlice.start();
        emit stateChanged();
    }
}

int LogFileModel::longestRow() const
{
    const qsizetype row = lines.longestLine();
    return row < published ? int(row) : -1;
}

int LogFileModel::find(const QString &text, int from)
{
    if (published == 0)
        return -1;
    if (from < 0 || from >= published)
        from = 0;
    qsizetype row = lines.find(text, from);
    if (row < 0 && from > 0) {
        row = lines.find(text, 0);
        if (row >= from)
            row = -1;
    }
    return row >= 0 && row < published ? int(row) : -1;
}

} // namespace marlin
