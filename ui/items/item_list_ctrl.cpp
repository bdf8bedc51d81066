#include "ui/items/item_list_ctrl.h"

#include <QKeyEvent>
#include <QMouseEvent>

#include <mutex>

#include "items/address6.h"
#include "items/result_eval.h"
#include "ui/items/item_context_menu.h"
#include "ui/items/item_filter.h"
#include "ui/pictures/state_images.h"
#include "ui/platform/qt_text.h"

namespace varnell {

namespace {

// The row image an item starts with: bits 6-8 of its state word, which the
// engine leaves at 0; anything that is no image shows the failing one.
int StartImage(const DnsItem& item)
{
    const int image = static_cast<int>((BlockOf(item).state & kStateImageMask) >> 6);
    return image < kStateImageCount ? image : kImageFailing;
}

} // namespace

CDnsListCtrl::CDnsListCtrl(QTextEdit* detailPane, QWidget* parent)
    : CExtListCtrl(detailPane, parent), model_(new CDnsItemModel(this)), filter_(new CItemFilterModel(model_, this))
{
    setModel(filter_);
    auto* header = new CAdvHeaderCtrl(this);
    header->Attach(this);
    setShowGrid(true);
    SetupColumns();
    // Unsorted until a header is clicked: the stored order.
    header->setSortIndicatorShown(true);
    header->setSortIndicator(-1, Qt::AscendingOrder);
    setSortingEnabled(true);
}

void CDnsListCtrl::SetupColumns()
{
    for (int c = 0; c < kItemColumnCount; ++c)
        setColumnWidth(c, kItemColumns[c].width);
}

int CDnsListCtrl::RowOf(const DnsItem& item) const
{
    const int row = item.rowPosition;
    if (row >= 0 && model_->ItemAt(row) == &item)
        return row;
    return -1;
}

void CDnsListCtrl::InsertItemRow(DnsItem& item)
{
    // The item's row position is its row; one that points past the end (it
    // cannot, while the table and the list agree) lands at the end instead.
    int row = item.rowPosition;
    if (row < 0 || row > model_->rowCount())
        row = model_->rowCount();
    if (!model_->InsertRow(row, &item, StartImage(item)))
        return;
    std::uint32_t flags = 0;
    {
        // The engine threads change other bits of the word under the lock.
        std::lock_guard lock(EngineLock());
        flags = item.flags;
    }
    model_->SetSuspended(row, (flags & kFlagSuspended) != 0);
    RefreshItemRow(item);
}

void CDnsListCtrl::RefreshItemRow(DnsItem& item)
{
    const int row = RowOf(item);
    if (row < 0)
        return;
    const ItemBlock& block = BlockOf(item);
    model_->SetText(row, kColName, ToQt(block.name));
    model_->SetText(row, kColDomain, ToQt(block.domain));
    model_->SetText(row, kColType, QString::fromLatin1(RecordTypeName(item.typeIndex)));
    model_->SetText(row, kColAddress, QString::fromStdString(FirstKnownAddressText(item)));
    model_->SetText(row, kColServer, QString::fromStdString(ServerAddressText(item)));
}

void CDnsListCtrl::SetRowText(const DnsItem& item, int column, std::string_view utf8)
{
    model_->SetTextUtf8(RowOf(item), column, utf8);
}

void CDnsListCtrl::SetRowImage(const DnsItem& item, int image) { model_->SetImage(RowOf(item), image); }

void CDnsListCtrl::OnRowFocused(int row)
{
    if (const DnsItem* item = model_->ItemAt(row)) {
        ShowReplyDetail(*item);
        emit ItemFocused(static_cast<int>(SlotOf(*item)));
    }
}

void CDnsListCtrl::keyPressEvent(QKeyEvent* event)
{
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_F2)) {
        if (currentIndex().isValid())
            emit RowActivated(ModelRow(currentIndex()));
        event->accept();
        return;
    }
    if (plain && event->key() == Qt::Key_Delete) {
        emit DeleteKeyPressed();
        event->accept();
        return;
    }
    CExtListCtrl::keyPressEvent(event);
}

void CDnsListCtrl::mouseDoubleClickEvent(QMouseEvent* event)
{
    QTableView::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton && indexAt(event->position().toPoint()).isValid()) {
        const int row = FirstSelectedRow();
        if (row >= 0)
            emit RowActivated(row);
    }
}

} // namespace varnell
