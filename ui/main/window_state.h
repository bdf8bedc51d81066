// The main window remembers itself between runs: size, position, maximised
// state, the splitters, both lists' column widths and the item list's sort, in
// ConfigDir()/varnell/window.ini. Never in the settings store: the blob stays
// what it is, and a lost window.ini only costs the layout.
#pragma once

#include <QString>

namespace varnell {

class CMainFrame;

QString WindowStatePath();
void SaveWindowState(const CMainFrame& frame, const QString& path);
// false when nothing (usable) was stored; the window keeps its first layout.
bool RestoreWindowState(CMainFrame& frame, const QString& path);

} // namespace varnell
