#include "ui/items/item_filter.h"

#include <arpa/inet.h>

#include <array>
#include <cstring>

#include "items/item_health.h"
#include "items/result_hooks.h"
#include "ui/items/dns_item_view.h"

namespace varnell {

namespace {

// What a cell sorts by: a number where the column holds one (-1 for an empty
// cell, so rows without a result come first), else the text. An IPv6 address
// is wider than both numbers: it sorts after every IPv4 one, by its bytes.
struct SortKey {
    qint64 first = -1;
    qint64 second = -1;
    bool numeric = true;
    std::array<unsigned char, 16> address6{};
};

qint64 Leading(QStringView text)
{
    qint64 n = 0;
    int digits = 0;
    for (QChar c : text) {
        if (!c.isDigit())
            break;
        n = n * 10 + c.digitValue();
        if (++digits == 15)
            break;
    }
    return digits == 0 ? -1 : n;
}

SortKey KeyOf(const CDnsItemModel& model, int row, int column)
{
    const QString text = model.TextAt(row, column);
    SortKey key;
    switch (column) {
    case kColState:
        key.first = static_cast<qint64>(SeverityOf(model, row));
        break;
    case kColAddress:
    case kColServer: {
        const QByteArray latin = text.toLatin1();
        in_addr a{};
        in6_addr a6{};
        if (inet_pton(AF_INET, latin.constData(), &a) == 1) {
            key.first = ntohl(a.s_addr);
        } else if (inet_pton(AF_INET6, latin.constData(), &a6) == 1) {
            key.first = qint64{1} << 32;
            std::memcpy(key.address6.data(), &a6, sizeof a6);
        }
        break;
    }
    case kColRtt: // "min/max/avg/cur" in ms: by the current one
        key.first = Leading(QStringView(text).mid(text.lastIndexOf(QLatin1Char('/')) + 1));
        break;
    case kColRequests: { // "sent/failed"
        const qsizetype slash = text.indexOf(QLatin1Char('/'));
        key.first = Leading(text);
        key.second = slash < 0 ? -1 : Leading(QStringView(text).mid(slash + 1));
        break;
    }
    case kColReplies:
        key.first = Leading(text);
        break;
    default:
        key.numeric = false;
        break;
    }
    return key;
}

} // namespace

ItemSeverity SeverityOf(const CDnsItemModel& model, int row)
{
    switch (HealthOfRowImage(model.SuspendedAt(row), model.ImageAt(row))) {
    case ItemHealth::kSuspended: return ItemSeverity::kSuspended;
    case ItemHealth::kUp: return ItemSeverity::kUp;
    case ItemHealth::kDown: return ItemSeverity::kDown;
    case ItemHealth::kFailing:
    case ItemHealth::kNotProbed: break;
    }
    return ItemSeverity::kFailing;
}

const char* SeverityWord(ItemSeverity severity)
{
    static constexpr const char* kWords[] = {"suspended", "up", "failing", "down"};
    return kWords[static_cast<int>(severity)];
}

CItemFilterModel::CItemFilterModel(CDnsItemModel* source, QObject* parent)
    : QSortFilterProxyModel(parent), source_(source)
{
    setSourceModel(source);
    setDynamicSortFilter(true);
    setSortRole(Qt::DisplayRole);
}

void CItemFilterModel::SetPattern(const QString& pattern)
{
    const QString trimmed = pattern.trimmed();
    if (trimmed == pattern_)
        return;
    pattern_ = trimmed;
    invalidateFilter();
}

bool CItemFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex&) const
{
    if (pattern_.isEmpty())
        return true;
    for (int column : {kColName, kColDomain, kColServer, kColMonitorState})
        if (source_->TextAt(sourceRow, column).contains(pattern_, Qt::CaseInsensitive))
            return true;
    return QLatin1String(SeverityWord(SeverityOf(*source_, sourceRow))).startsWith(pattern_, Qt::CaseInsensitive);
}

bool CItemFilterModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    const int column = left.column();
    const SortKey a = KeyOf(*source_, left.row(), column);
    const SortKey b = KeyOf(*source_, right.row(), column);
    if (a.numeric) {
        if (a.first != b.first)
            return a.first < b.first;
        if (a.second != b.second)
            return a.second < b.second;
        if (a.address6 != b.address6)
            return a.address6 < b.address6;
    } else {
        const int order = QString::localeAwareCompare(source_->TextAt(left.row(), column).toCaseFolded(),
                                                      source_->TextAt(right.row(), column).toCaseFolded());
        if (order != 0)
            return order < 0;
    }
    // Equal keys: not less. The proxy's sort is stable, so ties keep the stored
    // order in either direction.
    return false;
}

} // namespace varnell
