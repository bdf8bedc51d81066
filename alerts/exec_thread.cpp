#include "alerts/exec_thread.h"

#include "alerts/launch.h"

namespace varnell {

cexecthread::~cexecthread()
{
    RequestStop();
    StopAndJoin();
}

int cexecthread::Post(WindowId reply, const std::string& program, const std::string& parameters)
{
    return Enqueue(ring_, ExecEntry{reply, program, parameters});
}

int cexecthread::Launch(const std::string& program, const std::string& parameters)
{
    if (program.empty())
        return 0;
    std::string path = FindExecutable(program);
    if (!path.empty())
        return StartProgram(path, SplitWords(parameters)) > 0 ? 1 : 0;
    // Not a program: a document, a folder or a URL. The desktop's default
    // action takes no parameters, as opening a document by its type never did.
    return GetDesktop().ShellOpen(program) > 32 ? 1 : 0;
}

void cexecthread::Process()
{
    Drain(ring_, true, [](ExecEntry& e, std::uint32_t next) {
        return ActionDone(next, Launch(e.program, e.parameters));
    });
}

} // namespace varnell
