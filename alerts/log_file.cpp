#include "alerts/log_file.h"

#include <cstdio>
#include <mutex>
#include <unistd.h>

#include "alerts/launch.h"
#include "config/settings.h"
#include "engine/desktop.h"

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
    std::FILE* file = nullptr;
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
    std::FILE* f = std::fopen(name.c_str(), "a");
    if (f == nullptr)
        return;
    // The stream owns its buffer (a null buffer pointer), so closing and
    // re-opening can never leave it pointing at freed memory.
    std::setvbuf(f, nullptr, _IOFBF, kLogBufferSize);
    log.file = f;
    log.name = name;
}

void CloseLocked(LogState& log)
{
    if (log.file != nullptr)
        std::fclose(log.file);
    log.file = nullptr;
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
    if (log.file == nullptr)
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
    if (log.file == nullptr)
        return;
    std::fwrite(text.data(), 1, text.size(), log.file);
    std::fputs("\r\n", log.file);
}

void FlushLogFile()
{
    LogState& log = Log();
    std::lock_guard lock(log.mutex);
    if (log.file != nullptr)
        std::fflush(log.file);
}

bool LogFileIsOpen()
{
    LogState& log = Log();
    std::lock_guard lock(log.mutex);
    return log.file != nullptr;
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
        if (log.file == nullptr || log.name.empty())
            return 0;
        std::fflush(log.file);
        path = AbsolutePath(log.name);
    }
    // xdg-open reports that nothing handles the file only by its exit status, so
    // the editor is started from its end, never by waiting for it here.
    GetDesktop().OpenDocument(path, [path](int result) {
        if (result > 32)
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
