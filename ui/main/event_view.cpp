#include "ui/main/event_view.h"

#include <QContextMenuEvent>

#include "alerts/event_list.h"
#include "ui/pictures/state_images.h"

namespace varnell {

namespace {
struct EventColumn {
    const char* title;
    int width;
};
constexpr EventColumn kEventColumns[] = {{"Time", 156}, {"Message", 200}};
constexpr int kEventColumnCount = 2;

QString Text(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// The event list has one observer; the newest model takes it, and only the
// model holding it may let it go.
const CEventListModel* g_observing = nullptr;
} // namespace

CEventListModel::CEventListModel(QObject* parent) : QAbstractTableModel(parent), known_(EventRowCount())
{
    EventListObserver observer;
    observer.rowInserted = [this] { OnRowInserted(); };
    observer.cleared = [this] { OnCleared(); };
    SetEventListObserver(std::move(observer));
    g_observing = this;
}

CEventListModel::~CEventListModel()
{
    if (g_observing == this) {
        SetEventListObserver({});
        g_observing = nullptr;
    }
}

int CEventListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(known_);
}

int CEventListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kEventColumnCount; }

std::size_t CEventListModel::StoreRow(int row, bool& ok) const
{
    // Rows the store has added at the top and the view has not yet been told of
    // sit above the ones it knows.
    const std::size_t stored = EventRowCount();
    ok = row >= 0 && static_cast<std::size_t>(row) < known_ && stored >= known_;
    return ok ? static_cast<std::size_t>(row) + (stored - known_) : 0;
}

QVariant CEventListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.model() != this || index.row() >= rowCount() || index.column() >= columnCount())
        return {};
    bool ok = false;
    const std::size_t at = StoreRow(index.row(), ok);
    if (!ok)
        return {};
    const EventRow& row = EventRowAt(at);
    switch (role) {
    case Qt::DisplayRole:
        return index.column() == 0 ? Text(row.time) : Text(row.message);
    case Qt::DecorationRole:
        return index.column() == 0 ? QVariant(EventImage(row.kind)) : QVariant();
    case Qt::TextAlignmentRole:
        return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::UserRole:
        return row.kind;
    default:
        return {};
    }
}

QVariant CEventListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= kEventColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return QString::fromLatin1(kEventColumns[section].title);
    if (role == Qt::TextAlignmentRole)
        return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

std::string CEventListModel::MessageAt(int row) const
{
    bool ok = false;
    const std::size_t at = StoreRow(row, ok);
    return ok ? EventRowAt(at).message : std::string();
}

void CEventListModel::OnRowInserted()
{
    if (EventRowCount() <= known_) {
        // The store shrank behind our back; start over from what it holds.
        beginResetModel();
        known_ = EventRowCount();
        endResetModel();
        return;
    }
    beginInsertRows(QModelIndex(), 0, 0);
    ++known_;
    endInsertRows();
}

void CEventListModel::OnCleared()
{
    beginResetModel();
    known_ = EventRowCount();
    endResetModel();
}

CEventListCtrl::CEventListCtrl(QTextEdit* detailPane, QWidget* parent)
    : CExtListCtrl(detailPane, parent), model_(new CEventListModel(this))
{
    setModel(model_);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    horizontalHeader()->setSectionsClickable(false); // never sorted: new rows always go on top
    horizontalHeader()->setStretchLastSection(false);
    SetupColumns();
}

void CEventListCtrl::SetupColumns()
{
    for (int c = 0; c < kEventColumnCount; ++c)
        setColumnWidth(c, kEventColumns[c].width);
}

void CEventListCtrl::OnRowFocused(int row)
{
    // The store's text, not the cell's: the full message is what the pane shows.
    PutDetailText(DetailPane(), model_->MessageAt(row));
}

void CEventListCtrl::contextMenuEvent(QContextMenuEvent* event) { event->accept(); }

CEventView::CEventView(QTextEdit* detailPane, QWidget* parent)
    : QWidget(parent), list_(new CEventListCtrl(detailPane, this))
{
}

void CEventView::ClearEvents() { ClearEventList(); }

void CEventView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    list_->setGeometry(0, 0, width(), height() + 1);
}

} // namespace varnell
