// The item list: one row per live item (row r shows the slot in the table's
// row-to-slot map entry r, and the item's row position is r), its ten columns and
// state image, the item commands (Add, Update, Delete, Suspend, Resume), and the
// reply detail of the focused row in the detail pane.
//
// Everything here runs on the user-interface thread.
#pragma once

#include <QAbstractTableModel>
#include <QFont>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QString>
#include <QTextEdit>
#include <QWidget>

#include <array>
#include <vector>

#include "items/item_table.h"
#include "items/result_hooks.h"
#include "ui/items/list_ctrl.h"

namespace varnell {

// Menu command numbers the list handles.
inline constexpr int kCmdAddDns = 32771;
inline constexpr int kCmdDelDns = 32773;
inline constexpr int kCmdSuspend = 32806;
inline constexpr int kCmdResume = 32807;
inline constexpr int kCmdClearStatistics = 32808;

struct ItemColumnInfo {
    const char* title;
    int width;
};
inline constexpr ItemColumnInfo kItemColumns[kItemColumnCount] = {
    {" ", 20},          {"Item Name", 158},  {"Dns Name", 128},           {"Type", 38},
    {"IP Address", 98}, {"DNS Server", 98},  {"Monitor State", 128},      {"RTT:Min/Max/Avg/Cur", 158},
    {"Reqs:Send/Fail", 68}, {"Replys", 68},
};

// The rows' texts and images. Each row carries its item (Qt::UserRole gives the
// slot index).
class CDnsItemModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit CDnsItemModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    bool InsertRow(int row, DnsItem* item, int image);
    bool RemoveRow(int row);
    void Clear();
    // A changed cell is signalled with the other changes made before the event
    // loop next turns (FlushChanges), one dataChanged per run of changed rows.
    bool SetText(int row, int column, const QString& text);
    bool SetImage(int row, int image);
    // Signals the changes still pending now; rows inserted or removed do it first.
    void FlushChanges();
    // A suspended row is greyed and shows the paused image; its state image is
    // kept for when it is resumed.
    bool SetSuspended(int row, bool suspended);

    DnsItem* ItemAt(int row) const;
    QString TextAt(int row, int column) const;
    int ImageAt(int row) const;
    bool SuspendedAt(int row) const;

private:
    struct Row {
        DnsItem* item = nullptr;
        int image = 0;
        bool suspended = false;
        std::array<QString, kItemColumnCount> texts;
    };
    void MarkChanged(int row, int column);

    std::vector<Row> rows_;
    // Changes not yet signalled: the rows, and the bounds of rows and columns.
    std::vector<bool> dirtyRows_;
    int firstDirtyRow_ = -1, lastDirtyRow_ = -1;
    int firstDirtyColumn_ = 0, lastDirtyColumn_ = 0;
    bool flushQueued_ = false;
};

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
    void SetRowText(const DnsItem& item, int column, const QString& text);
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

class CDnsItemView : public QWidget {
    Q_OBJECT
public:
    // Creates the list and fills it from the item table.
    CDnsItemView(QTextEdit* detailPane, QWidget* parent);

    void OnAdd();
    void OnUpdate(int row);
    void OnDelete();
    void OnSuspend();
    void OnResume();
    void OnClearStatistics() {}
    QFont ListFont() const;
    CDnsListCtrl* List() { return list_; }
    QLineEdit* FilterBox() { return filterBox_; }
    // The Delete key's way: the same delete, after the operator confirmed it.
    void OnDeleteConfirmed();

    // Carries out one of the list's menu commands; false when it is not one.
    bool OnCommand(int command);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void SetSuspendedRows(bool suspended);

    QLineEdit* filterBox_;
    CDnsListCtrl* list_;
};

// The item list's context menu, built for the given list (its actions send the
// list's CommandRequested).
QMenu* BuildItemContextMenu(CDnsListCtrl* list, QWidget* parent);

} // namespace varnell
