#include "step_button.h"

#include <QToolButton>

namespace marlin {

QToolButton *makeStepButton(Qt::ArrowType arrow, const QString &objectName, const QString &accessibleName)
{
    auto *button = new QToolButton;
    button->setObjectName(objectName);
    button->setAccessibleName(accessibleName);
    button->setArrowType(arrow);
    button->setAutoRepeat(true);
    button->setAutoRepeatDelay(500);
    button->setAutoRepeatInterval(50);
    return button;
}

} // namespace marlin
