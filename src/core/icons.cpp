#include "icons.h"

#include <QDir>
#include <QImageReader>

namespace marlin {

QImage IconList::imageFor(const QString &key) const
{
    for (const Icon &icon : icons) {
        if (icon.key == key)
            return icon.image;
    }
    return icons.isEmpty() ? QImage() : icons.first().image;
}

bool IconList::contains(const QString &key) const
{
    for (const Icon &icon : icons) {
        if (icon.key == key)
            return true;
    }
    return false;
}

void LoadIcons(const QString &appDir, IconList &list)
{
    const QDir dir(appDir + QStringLiteral("/ICONS"));
    const QStringList files = dir.entryList({QStringLiteral("*.ICO")},
                                            QDir::Files | QDir::Readable,
                                            QDir::Name | QDir::IgnoreCase);
    list.clear();
    for (const QString &name : files) {
        QImageReader reader(dir.filePath(name));
        const QImage image = reader.read();
        if (!image.isNull())
            list.add(name, image);
    }
}

} // namespace marlin
