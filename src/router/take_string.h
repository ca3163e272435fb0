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
constexpr int kTakeLevelCount = 8;

struct TakeString {
    std::array<bool, kTakeLevelCount> levels{};   // levels 0..7
    // 1-based; nothing when the field holds no 16-bit number ("1E99").
    std::optional<int> source;
    std::optional<int> destination;
    QString comment;   // spaces at both ends removed
};

TakeString ParseTakeString(QByteArrayView take);

} // namespace marlin
