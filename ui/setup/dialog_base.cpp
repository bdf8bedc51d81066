#include "ui/setup/dialog_base.h"

#include <QChildEvent>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTextEdit>

namespace varnell {

namespace {

// Controls that take a typed carriage return as a line break.
bool TakesLineBreaks(const QObject* o)
{
    if (const auto* plain = qobject_cast<const QPlainTextEdit*>(o))
        return !plain->isReadOnly();
    if (const auto* rich = qobject_cast<const QTextEdit*>(o))
        return !rich->isReadOnly();
    return false;
}

void FilterTree(QObject* root, QObject* filter)
{
    root->installEventFilter(filter);
    for (QObject* child : root->children())
        if (child->isWidgetType())
            FilterTree(child, filter);
}

} // namespace

CDialogBase::CDialogBase(QWidget* parent) : QDialog(parent) {}

int CDialogBase::Apply() { return 0; }

void CDialogBase::InstallKeyFilter()
{
    for (QObject* child : children())
        if (child->isWidgetType())
            FilterTree(child, this);
}

bool CDialogBase::FilterKey(QObject* watched, QKeyEvent* key)
{
    switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // A single-line box, a button or a list has no use for a carriage
        // return; it must not travel on to the dialog's default button.
        return !TakesLineBreaks(watched);
    case Qt::Key_Escape:
        return true;
    default:
        return false;
    }
}

bool CDialogBase::eventFilter(QObject* watched, QEvent* event)
{
    // Only a page needs the filter; a small editing dialog is a window of its
    // own, where Enter presses Apply and Escape cancels as in any dialog.
    if (event->type() == QEvent::KeyPress)
        return !isWindow() && FilterKey(watched, static_cast<QKeyEvent*>(event));
    if (event->type() == QEvent::ChildAdded) {
        QObject* child = static_cast<QChildEvent*>(event)->child();
        if (child->isWidgetType())
            FilterTree(child, this);
    }
    return QDialog::eventFilter(watched, event);
}

void CDialogBase::keyPressEvent(QKeyEvent* event)
{
    // The dialog itself holds the focus (no control took it).
    if (!isWindow() && FilterKey(this, event))
        return;
    QDialog::keyPressEvent(event);
}

} // namespace varnell
