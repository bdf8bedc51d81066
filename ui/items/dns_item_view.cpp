#include "ui/items/dns_item_view.h"

#include <QMessageBox>
#include <QShortcut>

#include <algorithm>

#include "items/address6.h"
#include "items/history.h"
#include "items/result_eval.h"
#include "ui/items/item_dialog.h"
#include "ui/items/item_filter.h"
#include "ui/pictures/state_images.h"
#include "ui/platform/message_box.h"

namespace varnell {

CDnsItemView::CDnsItemView(QTextEdit* detailPane, QWidget* parent)
    : QWidget(parent), filterBox_(new QLineEdit(this)), list_(new CDnsListCtrl(detailPane, this))
{
    filterBox_->setObjectName(QStringLiteral("itemFilter"));
    filterBox_->setPlaceholderText(QStringLiteral("Filter by name, domain, server or state (Ctrl+F)"));
    filterBox_->setClearButtonEnabled(true);
    connect(filterBox_, &QLineEdit::textChanged, list_->Filter(), &CItemFilterModel::SetPattern);
    auto* find = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_F), this);
    find->setContext(Qt::WindowShortcut);
    connect(find, &QShortcut::activated, filterBox_, [this] {
        filterBox_->setFocus(Qt::ShortcutFocusReason);
        filterBox_->selectAll();
    });
    // Escape in the box clears it and goes back to the list.
    auto* clear = new QShortcut(QKeySequence(Qt::Key_Escape), filterBox_);
    clear->setContext(Qt::WidgetShortcut);
    connect(clear, &QShortcut::activated, filterBox_, [this] {
        filterBox_->clear();
        list_->setFocus(Qt::ShortcutFocusReason);
    });
    connect(list_, &CDnsListCtrl::CommandRequested, this, [this](int command) { OnCommand(command); });
    connect(list_, &CDnsListCtrl::RowActivated, this, &CDnsItemView::OnUpdate);
    connect(list_, &CDnsListCtrl::DeleteKeyPressed, this, &CDnsItemView::OnDeleteConfirmed);
    FillItemList([this](DnsItem& item) { list_->InsertItemRow(item); });
}

bool CDnsItemView::OnCommand(int command)
{
    switch (command) {
    case kCmdAddDns: OnAdd(); return true;
    case kCmdDelDns: OnDelete(); return true;
    case kCmdSuspend: OnSuspend(); return true;
    case kCmdResume: OnResume(); return true;
    // The menu offers the entry, but choosing it changes nothing: taken, with
    // no action.
    case kCmdClearStatistics: return true;
    default: return false;
    }
}

void CDnsItemView::OnAdd()
{
    const int slot = NewItemSlot();
    if (slot < 0) {
        ShowMessageBox(this, QStringLiteral("The item table is full: delete an item first."));
        return;
    }
    DlgAddDNS dialog(static_cast<std::uint32_t>(slot), this);
    if (dialog.exec() == QDialog::Accepted) {
        ClearHistory(static_cast<std::uint32_t>(slot)); // a reused slot: not the old item's history
        list_->InsertItemRow(LockItems()->items[static_cast<std::size_t>(slot)]);
    }
}

void CDnsItemView::OnUpdate(int row)
{
    if (row < 0 || static_cast<std::uint32_t>(row) >= LockItems()->rowCount)
        return;
    const std::uint16_t slot = LockItems()->rowToSlot[static_cast<std::size_t>(row)];
    DlgAddDNS dialog(slot, this);
    if (dialog.exec() == QDialog::Accepted)
        list_->RefreshItemRow(LockItems()->items[slot]);
}

void CDnsItemView::OnDelete()
{
    const int row = list_->FirstSelectedRow();
    if (row < 0) {
        ShowMessageBox(this, QStringLiteral("Please choose a dns item to delete !"));
        return;
    }
    // The list and the table must agree on the row before either changes, so a
    // refused removal leaves both as they were.
    if (static_cast<std::uint32_t>(row) >= LockItems()->rowCount || !list_->Model()->RemoveRow(row)) {
        ShowMessageBox(this, QStringLiteral("Can't delete item !"));
        return;
    }
    const std::uint16_t slot = LockItems()->rowToSlot[static_cast<std::size_t>(row)];
    DeleteItemRow(static_cast<std::uint32_t>(row));
    ClearHistory(slot);
}

void CDnsItemView::OnDeleteConfirmed()
{
    // A key is easier to hit by accident than a menu entry: ask first.
    const int row = list_->FirstSelectedRow();
    if (row >= 0) {
        const QString question = QStringLiteral("Delete the item \"%1\"?").arg(list_->Model()->TextAt(row, kColName));
        QMessageBox box(QMessageBox::Question, ApplicationTitleText(), question, QMessageBox::Yes | QMessageBox::No, this);
        box.setDefaultButton(QMessageBox::No);
        if (box.exec() != QMessageBox::Yes)
            return;
    }
    OnDelete();
}

void CDnsItemView::SetSuspendedRows(bool suspended)
{
    for (int row : list_->SelectedRows()) {
        if (static_cast<std::uint32_t>(row) >= LockItems()->rowCount)
            continue;
        const std::uint16_t slot = LockItems()->rowToSlot[static_cast<std::size_t>(row)];
        if (suspended)
            SuspendItem(slot);
        else
            ResumeItem(slot);
        list_->Model()->SetSuspended(row, suspended);
    }
}

void CDnsItemView::OnSuspend() { SetSuspendedRows(true); }

void CDnsItemView::OnResume() { SetSuspendedRows(false); }

QFont CDnsItemView::ListFont() const { return list_->font(); }

void CDnsItemView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // The filter box on top; the list one pixel taller than the rest, so its
    // bottom border falls outside the view.
    const int boxHeight = filterBox_->sizeHint().height();
    filterBox_->setGeometry(0, 0, width(), boxHeight);
    list_->setGeometry(0, boxHeight, width(), height() - boxHeight + 1);
}

} // namespace varnell
