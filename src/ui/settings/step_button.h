#pragma once

#include <QString>
#include <Qt>

class QToolButton;

namespace marlin {

// The arrow buttons the settings windows step through routers, sources and
// ports with: one step per click; held down, a step after half a second and
// then twenty a second until released (the release itself steps once more).
QToolButton *makeStepButton(Qt::ArrowType arrow, const QString &objectName, const QString &accessibleName);

} // namespace marlin
