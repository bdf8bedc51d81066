// The buttons of the Setup pages and of their small editing dialogs.
#pragma once

class QDialog;
class QLayout;
class QPushButton;
class QWidget;

namespace varnell {

// A push button that Enter presses only while it has the focus.
QPushButton* PlainButton(const char* text, QWidget* parent);
// The small editing dialogs: body above a right-aligned row of "&Apply" (the
// default button, accepting) and "&Cancel" (rejecting). Create body's controls
// before calling, so the buttons come after them in the focus chain.
struct EditDialogButtons {
    QPushButton* apply;
    QPushButton* cancel;
};
EditDialogButtons LayOutEditDialog(QDialog* dialog, QWidget* body);
EditDialogButtons LayOutEditDialog(QDialog* dialog, QLayout* body);

} // namespace varnell
