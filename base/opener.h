// Finding and starting programs for the program launch alert and the log
// viewer's editor fallback. Arguments go to the program as argv words, so no
// character of an event text or item name is ever interpreted as a command.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace varnell {

// The path of an executable regular file: path itself when it holds a '/',
// otherwise the first match on PATH. Empty when there is none.
std::string FindExecutable(const std::string& program);

// Splits text into words at blanks (spaces and tabs); empty words vanish.
std::vector<std::string> SplitWords(const std::string& text);

// Starts program (already resolved to a path) with args as argv[1..], through
// the one spawner (base/spawn.h). Returns its pid, or -1 when it could not start.
pid_t StartProgram(const std::string& path, const std::vector<std::string>& args);

} // namespace varnell
