#include "alerts/launch.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "base/spawn.h"

namespace varnell {

namespace {

bool IsExecutableFile(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
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

} // namespace varnell
