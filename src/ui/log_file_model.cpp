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
    timeFind.setObjectName(QStringLiteral("timeFind"));
    timeFind.setInterval(0);
    connect(&timeFind, &QTimer::timeout, this, &LogFileModel::findSlice);
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
        if (finding())
            finishFind(-1);
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

void LogFileModel::find(const QString &text, int from)
{
    if (published == 0 || text.isEmpty()) {
        timeFind.stop();
        emit findFinished(-1);
        return;
    }
    if (from < 0 || from >= published)
        from = 0;
    search = {text, from, from, false};
    timeFind.start();
}

void LogFileModel::findSlice()
{
    const LogFileIndex::FindStep step = lines.findStep(search.text, search.next, kFindSliceBytes);
    if (step.found >= 0) {
        const bool passedOrigin = search.wrapped && step.found >= search.origin;
        finishFind(passedOrigin || step.found >= published ? -1 : int(step.found));
        return;
    }
    if (step.next >= 0 && !(search.wrapped && step.next >= search.origin)) {
        search.next = step.next;
        return;
    }
    if (search.wrapped || search.origin == 0) {
        finishFind(-1);
        return;
    }
    search.wrapped = true;
    search.next = 0;
}

void LogFileModel::finishFind(int row)
{
    timeFind.stop();
    emit findFinished(row);
}

} // namespace marlin
