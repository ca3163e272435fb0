#pragma once

#include <QImage>
#include <QList>
#include <QString>

namespace marlin {

// The icon pictures router tables name by file name ("*.ICO" in the ICONS
// folder, matched without regard to case), in the order the folder lists
// them. Views show the first picture when a key is unknown.
class IconList {
public:
    struct Icon {
        QString key;   // the file name as it is on disk
        QImage image;
    };

    void clear() { icons.clear(); }
    void add(const QString &key, const QImage &image) { icons.append({key, image}); }
    // The picture for key, or the first picture when key is unknown; a null
    // image when the list is empty.
    QImage imageFor(const QString &key) const;
    bool contains(const QString &key) const;
    const QList<Icon> &all() const { return icons; }
    qsizetype size() const { return icons.size(); }

private:
    QList<Icon> icons;
};

// Empties the list and loads every readable icon of appDir/ICONS; a file
// that cannot be read is skipped.
void LoadIcons(const QString &appDir, IconList &list);

} // namespace marlin
