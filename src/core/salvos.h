#pragma once

#include "router/take_string.h"

#include <QList>
#include <QString>
#include <array>

namespace marlin {

// A salvo: a named list of takes fired as one, in order, with one comment.
// Its numbers are the table's, as the console and the web speak them.
constexpr int kSalvoNameLimit = 64;
constexpr int kSalvoCommentLimit = 200;
constexpr int kSalvoTakeLimit = 256;

struct SalvoTake {
    int router = 0;
    int destination = 0;
    int source = 0;
    std::array<bool, kTakeLevelCount> levels{};   // levels 0..7
    bool operator==(const SalvoTake &) const = default;
};

struct Salvo {
    QString name;
    QString comment;
    QList<SalvoTake> takes;
    bool operator==(const Salvo &) const = default;
};
using SalvoList = QList<Salvo>;

// SALVOS.INI in the application folder: one section [Salvo_<n>] per salvo,
// in order, with Name, Comment (UTF-8, every byte but plain ASCII letters,
// digits, blanks and "-._~" as %XX), Takes (how many) and Take_<k> =
// "router,destination,source,levels" (levels as the digits 0..7 taken, e.g.
// "01"). A missing file is no salvos. False, with failure saying why, when
// the file exists but cannot be read (salvos stays empty), or a salvo or a
// take in it is unsound (it is left out).
bool LoadSalvos(const QString &file, SalvoList &salvos, QString *failure = nullptr);
// Rewrites the whole file in one atomic save. False, with the reason in
// error, when that failed or the file exists but cannot be read now.
bool SaveSalvos(const QString &file, const SalvoList &salvos, QString *error = nullptr);
// Whether a salvo's texts read back from the file as they are.
bool SalvoTextsFit(const Salvo &salvo);

} // namespace marlin
