// The event log file: one record per dispatched event, the event text followed
// by CR LF, appended through a 64 KiB fully buffered stream. Its name is the
// "Log" text of the General settings; an empty name means no log file.
//
// Used on the user-interface thread (start-up, the dispatch, the General page's
// apply, the View Log File command); a lock makes a stray call from another
// thread harmless.
#pragma once

#include <string>

namespace varnell {

inline constexpr std::size_t kLogBufferSize = 0x10000;

// Opens the file named in the settings for appending, if the name is not empty.
// A file that cannot be opened leaves the log off, without a message.
void OpenLogFile();
// Closes any open log (flushing it) and opens the one now named in the settings.
void ReopenLogFile();
// Appends text + "\r\n" when a log file is open.
void WriteLogRecord(const std::string& text);
void FlushLogFile();
bool LogFileIsOpen();
// The name the open log was opened with (empty when none is open).
std::string LogFileName();

// Flushes the log and shows it: the desktop's default action for the file,
// else, once that has failed, the first text editor found on PATH. Returns at
// once: 1 when the log was handed on, 0 when no log is open.
int ViewLogFile();

} // namespace varnell
