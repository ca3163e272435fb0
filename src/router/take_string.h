#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <array>
#include <optional>

namespace marlin {

// The take string that panels send and the console's take dialog builds, and
// that every device language makes its take command from:
//
//   characters 1-2    "C " (not read)
//   characters 3-10   level flags for levels 0..7: "1" switches the level
//   characters 11-14  source number, 1-based, four decimal digits ("0012")
//   characters 15-18  destination number, the same way
//   characters 19-26  source label, 8 characters padded with spaces
//   characters 27-34  destination label, the same way
//   characters 35..   comment for the switch log (panels only)
//
// Panels build it, so it may be short or carry anything: a field it lacks
// reads as empty, and numbers are read the way Val reads them.
constexpr int kTakeStringSize = 34;
// Characters 1-18: what a take cannot run without.
constexpr int kTakeNumbersSize = 18;
constexpr int kTakeLevelCount = 8;

struct TakeString {
    std::array<bool, kTakeLevelCount> levels{};   // levels 0..7
    // 1-based; nothing when the field holds no 16-bit number ("1E99").
    std::optional<int> source;
    std::optional<int> destination;
    QString comment;   // spaces at both ends removed
};

TakeString ParseTakeString(QByteArrayView take);

// n in decimal with leading zeros up to width characters; a longer text is
// left as it is.
QByteArray ZeroPad(int n, int width);
// The eight characters a label takes in a take string: with the text
// trimmed, a short name in parentheses ("(CAM 1) Studio camera") gives what
// stands between the first character and the ")", anything else itself;
// cut or padded with spaces to 8.
QByteArray LabelOf(const QString &text);
// The take string the console sends: levels (0..7), the physical input and
// output numbers, the two labels, no comment.
QByteArray MakeTakeString(const std::array<bool, kTakeLevelCount> &levels, int sourcePhysical,
                          int destinationPhysical, const QString &sourceLabel, const QString &destinationLabel);

} // namespace marlin
