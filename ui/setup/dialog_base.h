// The common base of the Setup dialog's pages and their small editing dialogs,
// and what they share: message boxes, file dialogs, the reading of edit boxes
// into the settings' single-byte texts, and a window number for the workers'
// completion messages.
//
// A page is a dialog placed as a plain child inside the Setup dialog's frame.
// Left alone, Enter in one of its edit boxes would press the Setup dialog's
// default button and Escape would cancel it (or hide the page itself), so the
// base filters every key press inside the page first: Enter reaches only a
// control that takes a line break as text, and Escape is swallowed. The small
// editing dialogs share the base but are windows, which the filter leaves alone.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "base/ui_channel.h"

class QHBoxLayout;
class QKeyEvent;
class QLayout;
class QPushButton;
class QTreeWidget;

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

// The message boxes of the pages: one OK button. Tests install a hook that
// records the box instead of showing it.
struct BoxRecord {
    QString text;
    QString caption;
    BoxIcon icon = BoxIcon::None;
};
void ShowPageMessage(QWidget* parent, const QString& text, const QString& caption, BoxIcon icon);
using BoxHook = std::function<void(const BoxRecord&)>;
void SetBoxHook(BoxHook hook);

// A file dialog. filter is in the "label|patterns|label|patterns||" form the
// program's filters are written in.
struct FileRequest {
    bool save = false;
    QString defaultSuffix;
    const char* filter = "";
    QString start; // the file or folder to start from
    // An open dialog that also takes the name of a file that does not exist yet.
    bool mayCreate = false;
};
// The chosen path, or an empty text when the user cancelled.
QString ChooseFile(QWidget* parent, const FileRequest& request);
using FileChooserHook = std::function<QString(const FileRequest&)>;
void SetFileChooserHook(FileChooserHook hook);
// "label|*.a; *.b|..||" as Qt's "label (*.a *.b);;..." (entries without a pattern are left out).
QString QtFileFilter(const char* filter);

// The first maxBytes bytes of text in UTF-8, never splitting a character.
std::string CutText(const QString& text, std::size_t maxBytes);
QString ToQt(const std::string& text);

// The pages' address lists: one column, whole-row selection, no tree lines.
// An empty title hides the header.
QTreeWidget* MakeOneColumnList(QWidget* parent, const QString& title, int columnWidth);
QStringList ListTexts(const QTreeWidget* list);
// The first selected row, or -1.
int SelectedRow(const QTreeWidget* list);
void AppendRow(QTreeWidget* list, const QString& text);
// Removes the selected row, if any.
void DeleteSelectedRow(QTreeWidget* list);
// The list with its Add and Delete buttons stacked at its right; extra, when
// given, goes to the bottom of the stack.
QHBoxLayout* ListWithButtons(QTreeWidget* list, QPushButton* add, QPushButton* remove, QPushButton* extra = nullptr);

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

// A dotted IPv4 text as inet_addr reads it (network byte order); text that is
// not an address gives 255.255.255.255.
std::uint32_t AddressFromText(const QString& text);
QString AddressText(std::uint32_t addressBE);

// A window number with the desktop layer for one page: registered while the
// page lives, so a completion that arrives after the page has closed is dropped.
class PageWindow {
public:
    explicit PageWindow(MessageHandler handler);
    ~PageWindow();
    PageWindow(const PageWindow&) = delete;
    PageWindow& operator=(const PageWindow&) = delete;
    WindowId Id() const { return id_; }

private:
    UiChannel* desktop_; // the one it was registered with, even if a test swaps it later
    WindowId id_;
};

} // namespace varnell
