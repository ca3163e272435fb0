#pragma once

#include <QComboBox>

namespace marlin {

// A list that stands for a stored number. A number the list does not hold
// (an old file's protocol 3, a router number above the list) shows as no
// choice and stays as it is until the operator picks one.
inline void showListPosition(QComboBox *list, int position)
{
    list->setCurrentIndex(position >= 0 && position < list->count() ? position : -1);
}

// The stored number after the operator: the chosen position plus offset, or
// what was stored when nothing is chosen.
template <typename Field>
Field pickedListValue(const QComboBox *list, Field stored, int offset)
{
    return list->currentIndex() < 0 ? stored : Field(list->currentIndex() + offset);
}

} // namespace marlin
