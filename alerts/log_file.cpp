#include "alerts/log_file.h"

#include <fcntl.h>
#include <mutex>
#include <unistd.h>

#include "base/opener.h"
#include "base/ui_channel.h"
#include "base/write_all.h"
#include "config/settings.h"

namespace varnell {

namespace {

// Graphical plain-text editors tried, in order, when the desktop has no
// default action for the log file. Terminal editors are no use to a program
// started from a desktop menu.
constexpr const char* kTextEditors[] = {
    "gnome-text-editor", "gedit", "mousepad", "kate", "kwrite", "xed", "pluma", "featherpad", "leafpad", "geany",
};

struct LogState {
    std::mutex mutex;
    int fd = -1;
    std::string name;
};

LogState& Log()
{
    static LogState state;
    return state;
}

void OpenLocked(LogState& log)
{
    const std::string& name = CurrentSettings().general.texts[kTextLogPath];
    if (name.empty())
        return;
    // O_APPEND: every write lands at the end, even after logrotate's
    // copytruncate or beside another program appending to the same file.
    const int fd = open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    log.fd = fd;
    log.name = name;
}

void CloseLocked(LogState& log)
{
    if (log.fd >= 0)
        close(log.fd);
    log.fd = -1;
    log.name.clear();
}

std::string AbsolutePath(const std::string& name)
{
    if (!name.empty() && name[0] == '/')
        return name;
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr)
        return name;
    std::string path(cwd);
    path += '/';
    path += name;
    return path;
}

} // namespace

void OpenLogFile()
{
    LogState& log = Log();
    std::lock_guard lock(log.mutex);
    if (log.fd < 0)
        OpenLocked(log);
}

void ReopenLogFile()
{
    LogState& log = Log();
    std::lock_guard lock(log.mutex);
    CloseLocked(log);
    OpenLocked(log);
}

void WriteLogRecord(const std::string& text)
{
    LogState& log = Log();
    std::lock_guard lock(log.mutex);
    if (log.fd < 0)
        return;
    // One write for the whole record: a reader never sees half a line.
    std::string record;
    record.reserve(text.size() + 2);
    record += text;
    record += "\r\n";
    WriteAll(log.fd, record);
}

void FlushLogFile()
{
    // Records are written through as they come: nothing waits here.
}

bool LogFileIsOpen()
{
    LogState& log = Log();
    std::lock_guard lock(log.mutex);
    return log.fd >= 0;
}

std::string LogFileName()
{
    LogState& log = Log();
    std::lock_guard lock(log.mutex);
    return log.name;
}

int ViewLogFile()
{
    std::string path;
    {
        LogState& log = Log();
        std::lock_guard lock(log.mutex);
        if (log.fd < 0 || log.name.empty())
            return 0;
        path = AbsolutePath(log.name);
    }
    // xdg-open reports that nothing handles the file only by its exit status, so
    // the editor is started from its end, never by waiting for it here.
    GetUiChannel().OpenDocument(path, [path](OpenResult result) {
        if (result == OpenResult::kOpened)
            return;
        for (const char* editor : kTextEditors) {
            const std::string found = FindExecutable(editor);
            if (!found.empty() && StartProgram(found, {path}) > 0)
                return;
        }
    });
    return 1;
}

} // namespace varnell
