#include "ui/items/item_context_menu.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>

#include "ui/items/item_list_ctrl.h"

namespace varnell {

QMenu* BuildItemContextMenu(CDnsListCtrl* list, QWidget* parent)
{
    struct Entry {
        const char* text;
        int command; // 0: a separator
    };
    static constexpr Entry kEntries[] = {
        {"&Add Dns...\tCtrl+A", kCmdAddDns},
        {"&Del Dns...\tCtrl+D", kCmdDelDns},
        {"&Clear Statistics\tCtrl+C", kCmdClearStatistics},
        {nullptr, 0},
        {"&Setting...\tCtrl+S", kCmdAddDns}, // the same command as Add, not the Setup dialog
        {nullptr, 0},
        {"S&uspend the selected items", kCmdSuspend},
        {"R&esume the selected items", kCmdResume},
    };
    auto* menu = new QMenu(parent);
    for (const Entry& e : kEntries) {
        if (e.text == nullptr) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(QString::fromLatin1(e.text));
        action->setData(e.command);
        const int command = e.command;
        QObject::connect(action, &QAction::triggered, list, [list, command] { emit list->CommandRequested(command); });
    }
    return menu;
}

void CDnsListCtrl::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu* menu = BuildItemContextMenu(this, this);
    menu->exec(event->globalPos());
    delete menu;
    event->accept();
}

} // namespace varnell
