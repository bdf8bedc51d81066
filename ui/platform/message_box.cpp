#include "ui/platform/message_box.h"

#include "config/fixed_texts.h"

namespace varnell {

namespace {

BoxHook& TheBoxHook()
{
    static BoxHook hook;
    return hook;
}

} // namespace

QString ApplicationTitleText() { return QString::fromStdString(ApplicationTitle()); }

QMessageBox::Icon ToQtIcon(BoxIcon icon)
{
    switch (icon) {
    case BoxIcon::Information:
        return QMessageBox::Information;
    case BoxIcon::Warning:
        return QMessageBox::Warning;
    case BoxIcon::Error:
        return QMessageBox::Critical;
    case BoxIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

void ShowMessageBox(QWidget* parent, const QString& text, const QString& caption, BoxIcon icon)
{
    QMessageBox box(ToQtIcon(icon), caption, text, QMessageBox::Ok, parent);
    box.exec();
}

void SetBoxHook(BoxHook hook) { TheBoxHook() = std::move(hook); }

void ShowPageMessage(QWidget* parent, const QString& text, const QString& caption, BoxIcon icon)
{
    if (TheBoxHook()) {
        TheBoxHook()(BoxRecord{text, caption, icon});
        return;
    }
    ShowMessageBox(parent, text, caption, icon);
}

} // namespace varnell
