// The event list: rows of alerts/event_list.h shown newest first, two columns
// ("Time", "Message") and an image per event kind. The focused row's full
// message goes to the event detail pane.
#pragma once

#include <QAbstractTableModel>
#include <QTextEdit>
#include <QWidget>

#include "ui/items/list_ctrl.h"

namespace varnell {

// A model over the shared event rows. It counts the rows it has announced, so
// that between the store changing and the view being told, the view still reads
// the rows it knows of (the store only ever adds at the top or empties).
class CEventListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit CEventListModel(QObject* parent = nullptr);
    ~CEventListModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The event text of a row ("" for no such row).
    std::string MessageAt(int row) const;

private:
    void OnRowInserted();
    void OnCleared();
    std::size_t StoreRow(int row, bool& ok) const;

    std::size_t known_ = 0;
};

class CEventListCtrl : public CExtListCtrl {
    Q_OBJECT
public:
    CEventListCtrl(QTextEdit* detailPane, QWidget* parent = nullptr);
    void SetupColumns() override;
    CEventListModel* Model() const { return model_; }

protected:
    void OnRowFocused(int row) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    CEventListModel* model_;
};

class CEventView : public QWidget {
    Q_OBJECT
public:
    CEventView(QTextEdit* detailPane, QWidget* parent);

    // Removes every row (the log file is not touched).
    void ClearEvents();
    CEventListCtrl* List() { return list_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    CEventListCtrl* list_;
};

} // namespace varnell
