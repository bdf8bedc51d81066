// The item list's rows: the texts of its ten columns and the state image of
// each live item, with changes signalled in runs once the event loop turns.
//
// Everything here runs on the user-interface thread.
#pragma once

#include <QAbstractTableModel>
#include <QString>

#include <array>
#include <string_view>
#include <vector>

#include "items/item_table.h"
#include "items/result_hooks.h"

namespace varnell {

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
    // The same from UTF-8: a result sets most of its cells to what they hold
    // already, which is found without building a string.
    bool SetTextUtf8(int row, int column, std::string_view utf8);
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

} // namespace varnell
