// The item list's context menu and the command numbers of its entries.
#pragma once

class QMenu;
class QWidget;

namespace varnell {

// Menu command numbers the list handles.
inline constexpr int kCmdAddDns = 32771;
inline constexpr int kCmdDelDns = 32773;
inline constexpr int kCmdSuspend = 32806;
inline constexpr int kCmdResume = 32807;
inline constexpr int kCmdClearStatistics = 32808;

class CDnsListCtrl;

// The item list's context menu, built for the given list (its actions send the
// list's CommandRequested).
QMenu* BuildItemContextMenu(CDnsListCtrl* list, QWidget* parent);

} // namespace varnell
