// The list controls' common base and the item list's column header.
//
// CExtListCtrl is a report-style table: whole-row selection, several rows
// selectable, selection kept visible without focus. A click on a scroll bar first
// takes the keyboard focus. When a row becomes the current (focused) row the
// control calls OnRowFocused; the default puts that row's column 1 text into the
// detail pane, cut to 2087 bytes.
//
// CAdvHeaderCtrl takes over the header of a list: plain left-aligned texts,
// hot tracking, and a first column that cannot be resized.
#pragma once

#include <QHeaderView>
#include <QPointer>
#include <QTableView>
#include <QTextEdit>

namespace varnell {

// The most that a focused row puts into a detail pane (2088 bytes with the
// terminator in the stored form).
inline constexpr int kDetailTextLimit = 2087;

class CAdvHeaderCtrl : public QHeaderView {
    Q_OBJECT
public:
    explicit CAdvHeaderCtrl(QWidget* parent = nullptr);
    // Installs itself as list's horizontal header. Returns false (and leaves the
    // list's own header in place) when list is null.
    bool Attach(QTableView* list);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    bool OnFirstDivider(const QPoint& pos) const;
};

class CExtListCtrl : public QTableView {
    Q_OBJECT
public:
    explicit CExtListCtrl(QTextEdit* detailPane, QWidget* parent = nullptr);

    // Called by the view right after the model is set.
    virtual void SetupColumns() {}

    QTextEdit* DetailPane() const { return detailPane_; }
    // Rows selected, in ascending order. Rows are always those of the model
    // under any sorting or filtering view model (RowModel), never the view's.
    QList<int> SelectedRows() const;
    int FirstSelectedRow() const;
    int ModelRow(const QModelIndex& viewIndex) const;
    QAbstractItemModel* RowModel() const;

    // Replaces the pane's text with the first kDetailTextLimit bytes of text
    // (never splitting a UTF-8 sequence).
    static void PutDetailText(QTextEdit* pane, const std::string& text);

protected:
    virtual void OnRowFocused(int row);
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QTextEdit> detailPane_;
};


} // namespace varnell
