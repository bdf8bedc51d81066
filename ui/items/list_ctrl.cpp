#include "ui/items/list_ctrl.h"

#include <QAbstractProxyModel>
#include <QEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextCursor>

#include <cstdio>


namespace varnell {

namespace {
// How near to a divider, in pixels, a press counts as grabbing it (the
// header's own grip is a few pixels wide on each side).
constexpr int kDividerGrip = 4;
} // namespace

CAdvHeaderCtrl::CAdvHeaderCtrl(QWidget* parent) : QHeaderView(Qt::Horizontal, parent)
{
    setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setSectionsClickable(true);
    setHighlightSections(false);
    setMouseTracking(true); // hot tracking: the section under the mouse is drawn hovered
    setStretchLastSection(false);
    setMinimumSectionSize(16); // the state column is 20 pixels wide
    // Sections come and go with the model; the first one never takes a new width.
    connect(this, &QHeaderView::sectionCountChanged, this, [this](int, int count) {
        if (count > 0)
            setSectionResizeMode(0, QHeaderView::Fixed);
    });
}

bool CAdvHeaderCtrl::Attach(QTableView* list)
{
    if (list == nullptr) {
        std::fputs("Unable to subclass existing header!\n", stderr);
        return false;
    }
    list->setHorizontalHeader(this);
    setSectionResizeMode(QHeaderView::Interactive);
    if (count() > 0)
        setSectionResizeMode(0, QHeaderView::Fixed);
    return true;
}

bool CAdvHeaderCtrl::OnFirstDivider(const QPoint& pos) const
{
    if (count() == 0 || isSectionHidden(0))
        return false;
    const int divider = sectionViewportPosition(0) + sectionSize(0);
    return std::abs(pos.x() - divider) <= kDividerGrip;
}

void CAdvHeaderCtrl::mousePressEvent(QMouseEvent* event)
{
    // The divider after the first column is no grip at all: a press there is not
    // a resize, nor a click on the neighbouring section.
    if (event->button() == Qt::LeftButton && OnFirstDivider(event->position().toPoint())) {
        event->accept();
        return;
    }
    QHeaderView::mousePressEvent(event);
}

void CAdvHeaderCtrl::mouseMoveEvent(QMouseEvent* event)
{
    if (event->buttons() == Qt::NoButton && OnFirstDivider(event->position().toPoint())) {
        unsetCursor();
        event->accept();
        return;
    }
    QHeaderView::mouseMoveEvent(event);
}

CExtListCtrl::CExtListCtrl(QTextEdit* detailPane, QWidget* parent) : QTableView(parent), detailPane_(detailPane)
{
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(false);
    setWordWrap(false);
    setSortingEnabled(false);
    setTabKeyNavigation(false);
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    verticalHeader()->setMinimumSectionSize(18); // room for a 16-pixel image
    setIconSize(QSize(16, 16));
    horizontalScrollBar()->installEventFilter(this);
    verticalScrollBar()->installEventFilter(this);
}

bool CExtListCtrl::eventFilter(QObject* watched, QEvent* event)
{
    // A click on a scroll bar gives the list the keyboard focus first, so the
    // keys act on the list the user just scrolled.
    if (event->type() == QEvent::MouseButtonPress &&
        (watched == horizontalScrollBar() || watched == verticalScrollBar()))
        setFocus(Qt::MouseFocusReason);
    return QTableView::eventFilter(watched, event);
}

QList<int> CExtListCtrl::SelectedRows() const
{
    QList<int> rows;
    if (selectionModel() == nullptr)
        return rows;
    for (const QModelIndex& index : selectionModel()->selectedRows())
        rows.append(ModelRow(index));
    std::sort(rows.begin(), rows.end());
    return rows;
}

int CExtListCtrl::FirstSelectedRow() const
{
    const QList<int> rows = SelectedRows();
    return rows.isEmpty() ? -1 : rows.first();
}

int CExtListCtrl::ModelRow(const QModelIndex& viewIndex) const
{
    const auto* proxy = qobject_cast<const QAbstractProxyModel*>(model());
    return proxy != nullptr ? proxy->mapToSource(viewIndex).row() : viewIndex.row();
}

QAbstractItemModel* CExtListCtrl::RowModel() const
{
    const auto* proxy = qobject_cast<const QAbstractProxyModel*>(model());
    return proxy != nullptr ? proxy->sourceModel() : model();
}

void CExtListCtrl::currentChanged(const QModelIndex& current, const QModelIndex& previous)
{
    QTableView::currentChanged(current, previous);
    if (current.isValid() && (!previous.isValid() || ModelRow(previous) != ModelRow(current)))
        OnRowFocused(ModelRow(current));
}

void CExtListCtrl::OnRowFocused(int row)
{
    if (RowModel() == nullptr || detailPane_ == nullptr)
        return;
    const QModelIndex index = RowModel()->index(row, 1);
    if (!index.isValid())
        return;
    PutDetailText(detailPane_, RowModel()->data(index, Qt::DisplayRole).toString().toStdString());
}

void CExtListCtrl::PutDetailText(QTextEdit* pane, const std::string& text)
{
    if (pane == nullptr)
        return;
    std::size_t length = std::min<std::size_t>(text.size(), kDetailTextLimit);
    // Back off to the start of a UTF-8 sequence cut in two by the limit.
    if (length < text.size())
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0u) == 0x80u)
            --length;
    pane->clear();
    pane->moveCursor(QTextCursor::End);
    pane->insertPlainText(QString::fromUtf8(text.data(), static_cast<qsizetype>(length)));
}

} // namespace varnell
