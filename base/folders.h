// Making the folders the program writes into (the store, history files, the
// autostart entry). Each folder made is private to this user (0700).
#pragma once

#include <string>

namespace varnell {

// Makes folder and any missing parent. True when it is a folder afterwards;
// false with errno saying why (ENOTDIR when something else has its name).
bool MakeFolder(const std::string& folder);

// Makes the folder a file at filePath goes in, as MakeFolder. A path with no
// folder part needs none.
bool MakeFolderFor(const std::string& filePath);

} // namespace varnell
