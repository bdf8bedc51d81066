// The event log file: one record per dispatched event, the event text followed
// by CR LF. Each record goes to the file with one write as it happens, so a
// crash loses none that was written (a power cut may: nothing is synced), and
// records of two processes appending to one file never interleave. Its name is
// the "Log" text of the General settings; an empty name means no log file.
//
// Used on the user-interface thread (start-up, the dispatch, the General page's
// apply, the View Log File command); a lock makes a stray call from another
// thread harmless.
#pragma once

#include <string>

namespace varnell {

// Opens the file named in the settings for appending, if the name is not empty.
// A file that cannot be opened leaves the log off, without a message.
void OpenLogFile();
// Closes any open log and opens the one now named in the settings.
void ReopenLogFile();
// Appends text + "\r\n" when a log file is open.
void WriteLogRecord(const std::string& text);
// Records are written as they come, so nothing waits to be flushed; the exit
// paths call it all the same.
void FlushLogFile();
bool LogFileIsOpen();
// The name the open log was opened with (empty when none is open).
std::string LogFileName();

// Shows the log: the desktop's default action for the file,
// else, once that has failed, the first text editor found on PATH. Returns at
// once: 1 when the log was handed on, 0 when no log is open.
int ViewLogFile();

} // namespace varnell
