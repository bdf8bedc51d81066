#include "alerts/exec_thread.h"

#include "base/opener.h"

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
    return LaunchProgram(program, parameters) == OpenResult::kOpened ? 1 : 0;
}

void cexecthread::Process()
{
    Drain(ring_, true, [](ExecEntry& e, std::uint32_t next) {
        return ActionDone(next, Launch(e.program, e.parameters));
    });
}

} // namespace varnell
