// The item list's table: one row per live item (row r shows the slot in the
// table's row-to-slot map entry r, and the item's row position is r), the keys
// and clicks that act on a row, and the reply detail of the focused row.
//
// Everything here runs on the user-interface thread.
#pragma once

#include <QString>
#include <QTextEdit>

#include "items/item_table.h"
#include "ui/items/item_model.h"
#include "ui/items/list_ctrl.h"

namespace varnell {

class CItemFilterModel;

class CDnsListCtrl : public CExtListCtrl {
    Q_OBJECT
public:
    CDnsListCtrl(QTextEdit* detailPane, QWidget* parent = nullptr);

    void SetupColumns() override;
    CDnsItemModel* Model() const { return model_; }
    CItemFilterModel* Filter() const { return filter_; }

    void InsertItemRow(DnsItem& item);
    void RefreshItemRow(DnsItem& item);
    void SetRowText(const DnsItem& item, int column, std::string_view utf8);
    void SetRowImage(const DnsItem& item, int image);
    void ShowReplyDetail(const DnsItem& item);

    // The row an item is shown in, or -1 when its row position does not lead
    // back to it.
    int RowOf(const DnsItem& item) const;

signals:
    void CommandRequested(int command);
    void RowActivated(int row);
    // The focused row's item changed (its slot), for the history chart.
    void ItemFocused(int slot);
    // The Delete key: delete after asking.
    void DeleteKeyPressed();

protected:
    void OnRowFocused(int row) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    CDnsItemModel* model_;
    CItemFilterModel* filter_;
};

} // namespace varnell
