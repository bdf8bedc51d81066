// Opening programs, documents and links, for every part of the program that
// does: the program-launch alert, the log viewer and its editor fallback, the
// links of the About box, and the desktop's default action behind them. Every
// start goes through the one spawner (base/spawn.h); arguments go to the
// program as argv words, so no character of an event text, item name or path is
// ever interpreted as a command.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace varnell {

// What became of an open. The numbers are those of the operator's "Unable to
// open" reasons (ui/platform/hyperlink.h), which keep the shell's numbering.
enum class OpenResult : int {
    kOpened = 42,
    kFileNotFound = 2,
    kPathNotFound = 3,
    kAccessDenied = 5,
    kOutOfMemory = 8,
    kNoApplication = 31, // nothing is associated with it
};

// Told how an open that was not waited for ended; may run on any thread.
using OpenDone = std::function<void(OpenResult result)>;

// The path of an executable regular file: path itself when it holds a '/',
// otherwise the first match on PATH. Empty when there is none.
std::string FindExecutable(const std::string& program);

// Splits a command line into words at blanks (spaces and tabs); empty words
// vanish. No quoting: a word is what lies between blanks.
std::vector<std::string> SplitWords(const std::string& text);

// Starts program (already resolved to a path) with args as argv[1..]. Returns
// its pid, or -1 when it could not start.
pid_t StartProgram(const std::string& path, const std::vector<std::string>& args);

// Opens with xdg-open and returns at once: kOpened when xdg-open started. done,
// when given, gets xdg-open's outcome on the thread that reaps it. Never waited
// for: xdg-open may hand over to an application that runs for as long as the
// document is open.
OpenResult OpenWithXdg(const std::string& path, OpenDone done = {});

// The browser command from a $BROWSER-style setting ("prog --flag %s:other"):
// the first entry, cut where "%s" (quoted or not) first occurs, split into
// words, with the target as its own last argument. Empty when none is set.
std::vector<std::string> BrowserCommand(const std::string& setting, const std::string& target);

// A link: the desktop's default action first (through the user-interface
// channel), then the browser named by $BROWSER.
OpenResult OpenLink(const std::string& target);

// The program-launch alert: a program found on PATH (or by its path) starts
// with parameters split into words; anything else (a document, a folder, a URL)
// gets the desktop's default action, which takes no parameters.
OpenResult LaunchProgram(const std::string& program, const std::string& parameters);

} // namespace varnell
