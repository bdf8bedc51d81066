#include "ui/setup/dialog_base.h"

#include <QChildEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QTextEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "base/address_text.h"
#include "ui/platform/message_box.h"

namespace varnell {

namespace {

BoxHook& TheBoxHook()
{
    static BoxHook hook;
    return hook;
}

FileChooserHook& TheFileChooserHook()
{
    static FileChooserHook hook;
    return hook;
}

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

// --- message boxes -------------------------------------------------------------

void SetBoxHook(BoxHook hook) { TheBoxHook() = std::move(hook); }

void ShowPageMessage(QWidget* parent, const QString& text, const QString& caption, BoxIcon icon)
{
    if (TheBoxHook()) {
        TheBoxHook()(BoxRecord{text, caption, icon});
        return;
    }
    ShowMessageBox(parent, text, caption, icon);
}

// --- file dialogs ----------------------------------------------------------------

void SetFileChooserHook(FileChooserHook hook) { TheFileChooserHook() = std::move(hook); }

QString QtFileFilter(const char* filter)
{
    const QStringList parts = QString::fromLatin1(filter).split(QLatin1Char('|'));
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns;
        for (const QString& p : parts[i + 1].split(QLatin1Char(';'))) {
            const QString pattern = p.trimmed();
            if (!pattern.isEmpty())
                patterns << pattern;
        }
        if (patterns.isEmpty())
            continue;
        // Qt takes the patterns from the last parenthesised group, so a label
        // that shows its own patterns keeps them.
        entries << parts[i].trimmed() + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                       QLatin1Char(')');
    }
    return entries.join(QStringLiteral(";;"));
}

QString ChooseFile(QWidget* parent, const FileRequest& request)
{
    if (TheFileChooserHook())
        return TheFileChooserHook()(request);
    QFileDialog dialog(parent);
    dialog.setAcceptMode(request.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(request.save || request.mayCreate ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilter(QtFileFilter(request.filter));
    dialog.setOption(QFileDialog::ReadOnly, false);
    if (!request.defaultSuffix.isEmpty())
        dialog.setDefaultSuffix(request.defaultSuffix);
    if (!request.start.isEmpty())
        dialog.selectFile(request.start);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

// --- texts -----------------------------------------------------------------------

std::string CutText(const QString& text, std::size_t maxBytes)
{
    std::string s = text.toStdString();
    if (s.size() <= maxBytes)
        return s;
    std::size_t end = maxBytes;
    // Back off over continuation bytes so the cut falls between characters.
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0u) == 0x80u)
        --end;
    s.resize(end);
    return s;
}

QString ToQt(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// --- address lists -----------------------------------------------------------------

QTreeWidget* MakeOneColumnList(QWidget* parent, const QString& title, int columnWidth)
{
    auto* list = new QTreeWidget(parent);
    list->setColumnCount(1);
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setHeaderLabels({title});
    list->setHeaderHidden(title.isEmpty());
    if (columnWidth > 0)
        list->setColumnWidth(0, columnWidth);
    return list;
}

QStringList ListTexts(const QTreeWidget* list)
{
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        texts << list->topLevelItem(i)->text(0);
    return texts;
}

int SelectedRow(const QTreeWidget* list)
{
    int first = -1;
    for (const QTreeWidgetItem* item : list->selectedItems()) {
        const int row = list->indexOfTopLevelItem(const_cast<QTreeWidgetItem*>(item));
        if (row >= 0 && (first < 0 || row < first))
            first = row;
    }
    return first;
}

void AppendRow(QTreeWidget* list, const QString& text) { list->addTopLevelItem(new QTreeWidgetItem({text})); }

void DeleteSelectedRow(QTreeWidget* list)
{
    const int row = SelectedRow(list);
    if (row >= 0)
        delete list->takeTopLevelItem(row);
}

QHBoxLayout* ListWithButtons(QTreeWidget* list, QPushButton* add, QPushButton* remove, QPushButton* extra)
{
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addStretch(1);
    if (extra != nullptr)
        buttons->addWidget(extra);
    auto* row = new QHBoxLayout;
    row->addWidget(list, 1);
    row->addLayout(buttons);
    return row;
}

QPushButton* PlainButton(const char* text, QWidget* parent)
{
    auto* b = new QPushButton(QString::fromLatin1(text), parent);
    b->setAutoDefault(false);
    return b;
}

namespace {

EditDialogButtons EditButtonsBelow(QDialog* dialog, QVBoxLayout* column)
{
    EditDialogButtons made{new QPushButton(QStringLiteral("&Apply"), dialog), PlainButton("&Cancel", dialog)};
    made.apply->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(made.apply);
    buttons->addWidget(made.cancel);
    column->addLayout(buttons);
    // accept is virtual: the dialog's own check runs.
    QObject::connect(made.apply, &QPushButton::clicked, dialog, &QDialog::accept);
    QObject::connect(made.cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    return made;
}

} // namespace

EditDialogButtons LayOutEditDialog(QDialog* dialog, QWidget* body)
{
    auto* column = new QVBoxLayout(dialog);
    column->addWidget(body);
    return EditButtonsBelow(dialog, column);
}

EditDialogButtons LayOutEditDialog(QDialog* dialog, QLayout* body)
{
    auto* column = new QVBoxLayout(dialog);
    column->addLayout(body);
    return EditButtonsBelow(dialog, column);
}

std::uint32_t AddressFromText(const QString& text)
{
    return static_cast<std::uint32_t>(inet_addr(text.toLatin1().constData()));
}

QString AddressText(std::uint32_t addressBE)
{
    return QString::fromStdString(DottedAddress(addressBE));
}

// --- completion window -------------------------------------------------------------

PageWindow::PageWindow(MessageHandler handler)
    : desktop_(&GetUiChannel()), id_(desktop_->RegisterWindow(std::move(handler)))
{
}

PageWindow::~PageWindow() { desktop_->UnregisterWindow(id_); }

} // namespace varnell
