// The automatic start-up entry: a Desktop Entry file in the user's XDG
// autostart folder, ConfigDir()/autostart/varnell.desktop. The operations
// themselves are declared in config/settings_store.h.
#pragma once

#include <string>

namespace varnell {

std::string AutoStartPath();

// The Exec= value that starts the program at path (mode 2 adds the argument
// ICON), quoted and escaped as Desktop Entry files require.
std::string DesktopExecValue(const std::string& path, int mode);

// Whether an Exec= value, as stored in the file, passes the argument ICON.
bool ExecHasIconArgument(const std::string& value);

} // namespace varnell
