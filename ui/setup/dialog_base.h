// The common base of the Setup dialog's pages and their small editing dialogs:
// the keyboard filter that keeps a page's keys inside the page.
//
// A page is a dialog placed as a plain child inside the Setup dialog's frame.
// Left alone, Enter in one of its edit boxes would press the Setup dialog's
// default button and Escape would cancel it (or hide the page itself), so the
// base filters every key press inside the page first: Enter reaches only a
// control that takes a line break as text, and Escape is swallowed. The small
// editing dialogs share the base but are windows, which the filter leaves alone.
#pragma once

#include <QDialog>

class QKeyEvent;

namespace varnell {

class CDialogBase : public QDialog {
    Q_OBJECT
public:
    explicit CDialogBase(QWidget* parent = nullptr);

    // Writes the page's controls into the settings: 0 on success, non-zero on
    // failure (the Setup dialog then applies none of the later pages).
    virtual int Apply();

    // Puts the keyboard filter on every control of the dialog. Call once the
    // controls exist; controls added later are filtered as they arrive.
    void InstallKeyFilter();

    // What the filter does with a key press that reaches watched: true when it
    // is swallowed.
    static bool FilterKey(QObject* watched, QKeyEvent* key);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace varnell
