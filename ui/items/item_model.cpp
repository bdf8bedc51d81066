#include "ui/items/item_model.h"

#include <QGuiApplication>
#include <QPalette>

#include <algorithm>

#include "ui/pictures/state_images.h"

namespace varnell {

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

bool CDnsItemModel::SetTextUtf8(int row, int column, std::string_view utf8)
{
    if (row < 0 || row >= rowCount() || column <= kColState || column >= kItemColumnCount)
        return false;
    const QString& cell = rows_[static_cast<std::size_t>(row)].texts[static_cast<std::size_t>(column)];
    const bool ascii = std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii && cell == QLatin1StringView(utf8.data(), static_cast<qsizetype>(utf8.size())))
        return true;
    return SetText(row, column, QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
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

} // namespace varnell
