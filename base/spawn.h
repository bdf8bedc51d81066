// Starting programs without a shell, for every part of the program that does:
// the program-launch alert, the document opener and the log viewer's editor,
// and a browser for links. Arguments reach the program as argv words, so no
// character of an event text or a path is ever read as a command.
//
// Every child is reaped by a small waiter thread of its own, so none is left as
// a zombie and no caller ever waits for a child to end.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace varnell {

// How a child ended: its exit code, 128 + the signal number that ended it, or
// -1 when its end could not be learned (someone else reaped it).
using ExitHandler = std::function<void(int exitStatus)>;

struct SpawnResult {
    pid_t pid = -1;
    int error = 0; // errno of a start that failed (ENOENT, EACCES, ...)
    bool Started() const { return pid > 0; }
};

// Starts argv[0] (looked up on PATH when it holds no '/') with argv[1..]. The
// child gets the default signal dispositions, an empty signal mask and none of
// our descriptors above stderr. onExit, when given, runs on the waiter thread
// once the child has ended; it is never called when the start failed.
SpawnResult Spawn(const std::vector<std::string>& argv, ExitHandler onExit = {});

} // namespace varnell
