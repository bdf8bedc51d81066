// The program launch worker. An executable file is started directly with the
// event text's words as its arguments (no shell, so nothing in an item name can
// run a command); any other path, such as a document, is opened with the
// desktop's default action.
#pragma once

#include <string>

#include "alerts/workers.h"

namespace varnell {

struct ExecEntry {
    WindowId reply = kNoWindow;
    std::string program;
    std::string parameters;
};

class cexecthread : public cnotifythread {
public:
    cexecthread() = default;
    ~cexecthread() override;

    // 0 when queued, -1 when the queue is full.
    int Post(WindowId reply, const std::string& program, const std::string& parameters);
    void Process() override;

    // One launch, as Process does it: 1 when the program was started or the
    // document opened, 0 when not.
    static int Launch(const std::string& program, const std::string& parameters);

private:
    NotifyRing<ExecEntry> ring_;
};

} // namespace varnell
