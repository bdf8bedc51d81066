// The item list's view of the rows: a filter (name, domain, server and state,
// case-insensitive) and a sort by any column that reorders only what is shown.
// The model below keeps the stored order, and every row number the list hands
// to the item commands is a model row (CExtListCtrl maps the view's rows back),
// so the table's row positions and row-to-slot map never see the sort.
#pragma once

#include <QSortFilterProxyModel>

namespace varnell {

class CDnsItemModel;

// Severity for sorting and the words the filter matches: suspended < up <
// failing < down. A row without a result yet counts as failing, as its image says.
enum class ItemSeverity : int { kSuspended = 0, kUp, kFailing, kDown };
ItemSeverity SeverityOf(const CDnsItemModel& model, int row);
const char* SeverityWord(ItemSeverity severity);

class CItemFilterModel : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit CItemFilterModel(CDnsItemModel* source, QObject* parent = nullptr);
    void SetPattern(const QString& pattern);
    QString Pattern() const { return pattern_; }

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    CDnsItemModel* source_;
    QString pattern_;
};

} // namespace varnell
