// The program's message boxes on the user-interface thread: one OK button, the
// application title as the caption unless another is named, and the one
// mapping of the core's box icons to Qt's.
#pragma once

#include <QMessageBox>
#include <QString>

#include "base/ui_channel.h"

class QWidget;

namespace varnell {

// The application title as every window and box shows it.
QString ApplicationTitleText();

QMessageBox::Icon ToQtIcon(BoxIcon icon);

// A modal box owned by parent (none: a box of its own on the desktop).
void ShowMessageBox(QWidget* parent, const QString& text, const QString& caption = ApplicationTitleText(),
                    BoxIcon icon = BoxIcon::None);

} // namespace varnell
