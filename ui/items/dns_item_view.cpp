#include "ui/items/dns_item_view.h"

#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QShortcut>
#include <QTextCharFormat>
#include <QTextCursor>

#include <algorithm>

#include "items/address6.h"
#include "items/history.h"
#include "items/reply_detail.h"
#include "items/result_eval.h"
#include "ui/items/item_dialog.h"
#include "ui/items/item_filter.h"
#include "ui/pictures/palette_colours.h"
#include "ui/pictures/state_images.h"
#include "ui/platform/message_box.h"

namespace varnell {

namespace {

QString Text(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// The row image an item starts with: bits 6-8 of its state word, which the
// engine leaves at 0; anything that is no image shows the failing one.
int StartImage(const DnsItem& item)
{
    const int image = static_cast<int>((BlockOf(item).state & kStateImageMask) >> 6);
    return image < kStateImageCount ? image : kImageFailing;
}

} // namespace

// --- model ---------------------------------------------------------------

CDnsItemModel::CDnsItemModel(QObject* parent) : QAbstractTableModel(parent) {}

int CDnsItemModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int CDnsItemModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kItemColumnCount; }

QVariant CDnsItemModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.model() != this || index.row() >= rowCount() || index.column() >= columnCount())
        return {};
    const Row& row = rows_[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return index.column() == kColState ? QVariant() : QVariant(row.texts[static_cast<std::size_t>(index.column())]);
    case Qt::DecorationRole:
        if (index.column() != kColState)
            return {};
        return row.suspended ? QVariant(PausedImage()) : QVariant(StateImage(row.image));
    case Qt::ForegroundRole:
        return row.suspended ? QVariant(QGuiApplication::palette().brush(QPalette::Disabled, QPalette::Text))
                             : QVariant();
    case Qt::TextAlignmentRole:
        return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::UserRole:
        return row.item ? QVariant(SlotOf(*row.item)) : QVariant();
    default:
        return {};
    }
}

QVariant CDnsItemModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= kItemColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return QString::fromLatin1(kItemColumns[section].title);
    if (role == Qt::TextAlignmentRole)
        return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

bool CDnsItemModel::InsertRow(int row, DnsItem* item, int image)
{
    if (row < 0 || row > rowCount() || item == nullptr)
        return false;
    FlushChanges(); // pending changes name rows by their number before the insertion
    beginInsertRows(QModelIndex(), row, row);
    Row r;
    r.item = item;
    r.image = image;
    rows_.insert(rows_.begin() + row, std::move(r));
    endInsertRows();
    return true;
}

bool CDnsItemModel::RemoveRow(int row)
{
    if (row < 0 || row >= rowCount())
        return false;
    FlushChanges();
    beginRemoveRows(QModelIndex(), row, row);
    rows_.erase(rows_.begin() + row);
    endRemoveRows();
    return true;
}

void CDnsItemModel::Clear()
{
    FlushChanges();
    beginResetModel();
    rows_.clear();
    endResetModel();
}

bool CDnsItemModel::SetText(int row, int column, const QString& text)
{
    if (row < 0 || row >= rowCount() || column <= kColState || column >= kItemColumnCount)
        return false;
    QString& cell = rows_[static_cast<std::size_t>(row)].texts[static_cast<std::size_t>(column)];
    if (cell == text)
        return true;
    cell = text;
    MarkChanged(row, column);
    return true;
}

bool CDnsItemModel::SetImage(int row, int image)
{
    if (row < 0 || row >= rowCount() || image < 0 || image >= kStateImageCount)
        return false;
    int& cell = rows_[static_cast<std::size_t>(row)].image;
    if (cell == image)
        return true;
    cell = image;
    MarkChanged(row, kColState);
    return true;
}

void CDnsItemModel::MarkChanged(int row, int column)
{
    // A result changes several cells of its row, and a batch of results arrives
    // in one go: the view, the sorting filter and the header are told once, after
    // the batch, instead of once per cell.
    if (dirtyRows_.size() < rows_.size())
        dirtyRows_.resize(rows_.size(), false);
    dirtyRows_[static_cast<std::size_t>(row)] = true;
    if (firstDirtyRow_ < 0) {
        firstDirtyRow_ = lastDirtyRow_ = row;
        firstDirtyColumn_ = lastDirtyColumn_ = column;
    } else {
        firstDirtyRow_ = std::min(firstDirtyRow_, row);
        lastDirtyRow_ = std::max(lastDirtyRow_, row);
        firstDirtyColumn_ = std::min(firstDirtyColumn_, column);
        lastDirtyColumn_ = std::max(lastDirtyColumn_, column);
    }
    if (!flushQueued_) {
        flushQueued_ = true;
        QMetaObject::invokeMethod(this, [this] { FlushChanges(); }, Qt::QueuedConnection);
    }
}

void CDnsItemModel::FlushChanges()
{
    flushQueued_ = false;
    if (firstDirtyRow_ < 0)
        return;
    const int first = firstDirtyRow_, last = lastDirtyRow_;
    const int left = firstDirtyColumn_, right = lastDirtyColumn_;
    firstDirtyRow_ = lastDirtyRow_ = -1;
    // One signal per run of changed rows: rows between two runs are not handed
    // to the sorting filter, which re-sorts every row a signal covers. The columns
    // are those of the whole batch, and so are the roles: texts and the image.
    const QList<int> roles{Qt::DisplayRole, Qt::DecorationRole};
    for (int row = first; row <= last; ++row) {
        if (!dirtyRows_[static_cast<std::size_t>(row)])
            continue;
        int end = row;
        while (end < last && dirtyRows_[static_cast<std::size_t>(end + 1)])
            ++end;
        std::fill(dirtyRows_.begin() + row, dirtyRows_.begin() + end + 1, false);
        emit dataChanged(index(row, left), index(end, right), roles);
        row = end;
    }
}

bool CDnsItemModel::SetSuspended(int row, bool suspended)
{
    if (row < 0 || row >= rowCount())
        return false;
    bool& cell = rows_[static_cast<std::size_t>(row)].suspended;
    if (cell != suspended) {
        cell = suspended;
        emit dataChanged(index(row, 0), index(row, kItemColumnCount - 1), {Qt::DecorationRole, Qt::ForegroundRole});
    }
    return true;
}

bool CDnsItemModel::SuspendedAt(int row) const
{
    return row >= 0 && row < rowCount() && rows_[static_cast<std::size_t>(row)].suspended;
}

DnsItem* CDnsItemModel::ItemAt(int row) const
{
    return row >= 0 && row < rowCount() ? rows_[static_cast<std::size_t>(row)].item : nullptr;
}

QString CDnsItemModel::TextAt(int row, int column) const
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= kItemColumnCount)
        return {};
    return rows_[static_cast<std::size_t>(row)].texts[static_cast<std::size_t>(column)];
}

int CDnsItemModel::ImageAt(int row) const
{
    return row >= 0 && row < rowCount() ? rows_[static_cast<std::size_t>(row)].image : -1;
}

// --- list control ----------------------------------------------------------

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
    model_->SetText(row, kColName, Text(block.name));
    model_->SetText(row, kColDomain, Text(block.domain));
    model_->SetText(row, kColType, QString::fromLatin1(RecordTypeName(item.typeIndex)));
    model_->SetText(row, kColAddress, QString::fromStdString(FirstKnownAddressText(item)));
    model_->SetText(row, kColServer, QString::fromStdString(ServerAddressText(item)));
}

void CDnsListCtrl::SetRowText(const DnsItem& item, int column, const QString& text)
{
    model_->SetText(RowOf(item), column, text);
}

void CDnsListCtrl::SetRowImage(const DnsItem& item, int image) { model_->SetImage(RowOf(item), image); }

void CDnsListCtrl::ShowReplyDetail(const DnsItem& item)
{
    QTextEdit* pane = DetailPane();
    if (pane == nullptr)
        return;
    const std::vector<DetailRun> runs = ReplyDetailOf(item);
    pane->setUpdatesEnabled(false);
    pane->clear();
    QTextCursor cursor(pane->document());
    cursor.movePosition(QTextCursor::End);
    for (const DetailRun& run : runs) {
        QTextCharFormat format;
        format.setForeground(DetailColourOn(run.colour, pane->palette()));
        QString text = Text(run.text);
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        cursor.insertText(text, format);
    }
    pane->setUpdatesEnabled(true);
}

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

QMenu* BuildItemContextMenu(CDnsListCtrl* list, QWidget* parent)
{
    struct Entry {
        const char* text;
        int command; // 0: a separator
    };
    static constexpr Entry kEntries[] = {
        {"&Add Dns...\tCtrl+A", kCmdAddDns},
        {"&Del Dns...\tCtrl+D", kCmdDelDns},
        {"&Clear Statistics\tCtrl+C", kCmdClearStatistics},
        {nullptr, 0},
        {"&Setting...\tCtrl+S", kCmdAddDns}, // the same command as Add, not the Setup dialog
        {nullptr, 0},
        {"S&uspend the selected items", kCmdSuspend},
        {"R&esume the selected items", kCmdResume},
    };
    auto* menu = new QMenu(parent);
    for (const Entry& e : kEntries) {
        if (e.text == nullptr) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(QString::fromLatin1(e.text));
        action->setData(e.command);
        const int command = e.command;
        QObject::connect(action, &QAction::triggered, list, [list, command] { emit list->CommandRequested(command); });
    }
    return menu;
}

void CDnsListCtrl::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu* menu = BuildItemContextMenu(this, this);
    menu->exec(event->globalPos());
    delete menu;
    event->accept();
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

// --- view ------------------------------------------------------------------

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
    case kCmdClearStatistics: OnClearStatistics(); return true;
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
