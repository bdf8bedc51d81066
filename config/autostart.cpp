#include "config/autostart.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/folders.h"
#include "base/write_all.h"
#include "config/fixed_texts.h"
#include "config/settings_store.h"

namespace varnell {

namespace {

constexpr std::size_t kMaxEntryBytes = 64 * 1024;

// Characters that make an Exec argument need quotes.
bool IsReserved(char c)
{
    static const std::string kReserved = " \t\n\"'\\><~|&;$*?#()`";
    return kReserved.find(c) != std::string::npos;
}

std::string QuoteArgument(const std::string& arg)
{
    bool needs = arg.empty();
    for (char c : arg)
        needs = needs || IsReserved(c);
    if (!needs)
        return arg;
    std::string out = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// The general escapes of a string value; applied after quoting, undone first by readers.
std::string EscapeValue(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '%': out += "%%"; break; // a literal percent, not a field code
        default: out += c; break;
        }
    }
    return out;
}

std::string Trim(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string ExecutablePath()
{
    std::vector<char> buf(PATH_MAX + 1);
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0 || static_cast<std::size_t>(n) >= buf.size() - 1)
        return {};
    return std::string(buf.data(), static_cast<std::size_t>(n));
}

// Written beside the target and renamed over it, so a session starting while
// we write never sees half an entry.
bool WriteFileAtomically(const std::string& path, const std::string& text)
{
    std::string temp = path + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = WriteAll(fd, text) && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    if (close(fd) != 0 || !ok || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

std::string AutoStartPath()
{
    return ConfigDir() + "/" + FixedTextValue(FixedText::kAutoStartFolder) + "/" +
           FixedTextValue(FixedText::kAutoStartFile);
}

std::string DesktopExecValue(const std::string& path, int mode)
{
    std::string exec = QuoteArgument(path);
    if (mode == 2)
        exec += " ICON";
    return EscapeValue(exec);
}

bool ExecHasIconArgument(const std::string& value)
{
    // Step over the program itself: a quoted path may hold " ICON" too.
    std::size_t pos = 0;
    if (!value.empty() && value[0] == '"') {
        pos = 1;
        while (pos < value.size() && value[pos] != '"')
            pos += value[pos] == '\\' ? 2 : 1;
        ++pos;
    } else {
        pos = value.find(' ');
    }
    if (pos >= value.size())
        return false;
    std::istringstream args(value.substr(pos));
    std::string arg;
    while (args >> arg) {
        if (arg == "ICON")
            return true;
    }
    return false;
}

int RegisterAutoStart(int mode)
{
    const std::string exe = ExecutablePath();
    if (exe.empty())
        return 0;
    const std::string path = AutoStartPath();
    if (!MakeFolderFor(path))
        return 0;
    std::string entry = "[Desktop Entry]\n"
                        "Type=Application\n";
    entry += std::string("Name=") + ApplicationTitle() + "\n";
    entry += "Exec=" + DesktopExecValue(exe, mode) + "\n";
    entry += "X-GNOME-Autostart-enabled=true\n";
    return WriteFileAtomically(path, entry) ? 1 : 0;
}

int UnregisterAutoStart() { return unlink(AutoStartPath().c_str()) == 0 ? 1 : 0; }

int QueryAutoStart()
{
    std::ifstream in(AutoStartPath(), std::ios::binary);
    if (!in)
        return 0;
    std::string text(kMaxEntryBytes, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad())
        return 0; // e.g. a folder by that name
    text.resize(static_cast<std::size_t>(in.gcount()));

    std::istringstream lines(text);
    std::string line, exec;
    bool inEntry = false, haveExec = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        if (!inEntry)
            continue;
        // Keys and values may have spaces around the '='.
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        // An entry the desktop was told to hide is one that does not start.
        if (key == "Hidden" && value == "true")
            return 0;
        if (!haveExec && key == "Exec") {
            exec = value;
            haveExec = true;
        }
    }
    return ExecHasIconArgument(exec) ? 2 : 1;
}

} // namespace varnell
