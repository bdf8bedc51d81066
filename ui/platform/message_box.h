// The program's message boxes on the user-interface thread: one OK button, the
// application title as the caption unless another is named, and the one
// mapping of the core's box icons to Qt's.
#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

#include "base/ui_channel.h"

class QWidget;

namespace varnell {

// The application title as every window and box shows it.
QString ApplicationTitleText();

QMessageBox::Icon ToQtIcon(BoxIcon icon);

// A modal box owned by parent (none: a box of its own on the desktop).
void ShowMessageBox(QWidget* parent, const QString& text, const QString& caption = ApplicationTitleText(),
                    BoxIcon icon = BoxIcon::None);

// The Setup pages' boxes: as ShowMessageBox, but tests install a hook that
// records the box instead of showing it.
struct BoxRecord {
    QString text;
    QString caption;
    BoxIcon icon = BoxIcon::None;
};
void ShowPageMessage(QWidget* parent, const QString& text, const QString& caption, BoxIcon icon);
using BoxHook = std::function<void(const BoxRecord&)>;
void SetBoxHook(BoxHook hook);

} // namespace varnell
