// The item list with its filter box, and the item commands (Add, Update,
// Delete, Suspend, Resume) it carries out on the item table.
//
// Everything here runs on the user-interface thread.
#pragma once

#include <QFont>
#include <QLineEdit>
#include <QString>
#include <QTextEdit>
#include <QWidget>


#include "items/item_table.h"
#include "items/result_hooks.h"
#include "ui/items/item_context_menu.h"
#include "ui/items/item_list_ctrl.h"

namespace varnell {

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

} // namespace varnell
