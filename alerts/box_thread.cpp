#include "alerts/box_thread.h"

namespace varnell {

cboxthread::~cboxthread()
{
    RequestStop();
    StopAndJoin();
}

int cboxthread::Post(WindowId reply, const std::string& caption, const std::string& text, int icon)
{
    return Enqueue(ring_, BoxEntry{reply, text, caption, icon});
}

BoxIcon cboxthread::IconOfKind(int kind)
{
    switch (kind) {
    case 0:
        return BoxIcon::Information;
    case 1:
        return BoxIcon::Warning;
    default:
        return BoxIcon::Error;
    }
}

void cboxthread::Process()
{
    Drain(ring_, true, [](BoxEntry& e, std::uint32_t next) {
        GetUiChannel().MessageBox(e.text, e.caption, IconOfKind(e.icon));
        return ActionDone(next, 0);
    });
}

} // namespace varnell
