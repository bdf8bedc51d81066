#include "base/opener.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "base/spawn.h"
#include "base/ui_channel.h"

namespace varnell {

namespace {

bool IsExecutableFile(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

OpenResult ResultOfFailedStart(int error)
{
    switch (error) {
    case ENOENT:
        return OpenResult::kFileNotFound;
    case EACCES:
        return OpenResult::kAccessDenied;
    case ENOMEM:
        return OpenResult::kOutOfMemory;
    default:
        return OpenResult::kNoApplication;
    }
}

} // namespace

std::string FindExecutable(const std::string& program)
{
    if (program.empty())
        return {};
    if (program.find('/') != std::string::npos)
        return IsExecutableFile(program) ? program : std::string();
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        // An empty PATH entry means the current folder.
        std::string candidate = end > start ? dirs.substr(start, end - start) : std::string(1, '.');
        candidate += '/';
        candidate += program;
        if (IsExecutableFile(candidate))
            return candidate;
        start = end + 1;
    }
    return {};
}

std::vector<std::string> SplitWords(const std::string& text)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        std::size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t')
            ++i;
        if (i > start)
            words.push_back(text.substr(start, i - start));
    }
    return words;
}

pid_t StartProgram(const std::string& path, const std::vector<std::string>& args)
{
    std::vector<std::string> argv;
    argv.reserve(args.size() + 1);
    argv.push_back(path);
    argv.insert(argv.end(), args.begin(), args.end());
    return Spawn(argv).pid;
}

OpenResult OpenWithXdg(const std::string& path, OpenDone done)
{
    ExitHandler onExit;
    if (done)
        onExit = [done](int status) { done(status == 0 ? OpenResult::kOpened : OpenResult::kFileNotFound); };
    return Spawn({"xdg-open", path}, std::move(onExit)).Started() ? OpenResult::kOpened : OpenResult::kFileNotFound;
}

std::vector<std::string> BrowserCommand(const std::string& setting, const std::string& target)
{
    std::string command = setting.substr(0, setting.find(':'));
    std::size_t cut = command.find("\"%s\"");
    if (cut == std::string::npos)
        cut = command.find("%s");
    if (cut != std::string::npos)
        command.resize(cut);
    std::vector<std::string> argv = SplitWords(command);
    if (!argv.empty())
        argv.push_back(target);
    return argv;
}

OpenResult OpenLink(const std::string& target)
{
    const OpenResult result = GetUiChannel().ShellOpen(target);
    if (result == OpenResult::kOpened)
        return result;
    // The desktop could not open it: try the browser the user has named.
    const char* browser = std::getenv("BROWSER");
    if (browser == nullptr || *browser == '\0')
        return result;
    const auto argv = BrowserCommand(browser, target);
    if (argv.empty())
        return result;
    const SpawnResult started = Spawn(argv);
    return started.Started() ? OpenResult::kOpened : ResultOfFailedStart(started.error);
}

OpenResult LaunchProgram(const std::string& program, const std::string& parameters)
{
    if (program.empty())
        return OpenResult::kFileNotFound;
    const std::string path = FindExecutable(program);
    if (!path.empty())
        return StartProgram(path, SplitWords(parameters)) > 0 ? OpenResult::kOpened : OpenResult::kNoApplication;
    return GetUiChannel().ShellOpen(program);
}

} // namespace varnell
