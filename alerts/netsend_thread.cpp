#include "alerts/netsend_thread.h"

#include <algorithm>
#include <atomic>

#include "alerts/smb/netsend.h"
#include "config/settings.h"

namespace varnell {

cnetsendthread::~cnetsendthread()
{
    if (haveRegistered_)
        NetMessageNameDel(registered_);
}

int cnetsendthread::Post(WindowId reply, std::uint32_t cookie, const std::string& receiver,
                         const std::string& message, const std::string& senderName)
{
    Entry e;
    e.reply = reply;
    e.cookie = cookie;
    e.receiver = receiver;
    e.message = message;
    e.senderName = senderName.substr(0, std::min<std::size_t>(senderName.size(), kNetbiosNameLength));
    e.messageLength = static_cast<std::uint32_t>(2 * message.size() + 2);
    return Enqueue(ring_, std::move(e));
}

int cnetsendthread::Deliver(const Entry& entry)
{
    if (!haveRegistered_ || entry.senderName != registered_) {
        if (haveRegistered_)
            NetMessageNameDel(registered_);
        registered_ = entry.senderName;
        haveRegistered_ = true;
        NetMessageNameAdd(registered_);
    }
    // The setting is edited on the user-interface thread and read here without a
    // lock, as a whole 32-bit value.
    std::int32_t retries =
        std::atomic_ref<std::int32_t>(CurrentSettings().messenger.retryTimes).load(std::memory_order_relaxed);
    // A retry count below 1 (the Messenger page stores 0 for a non-number) would
    // otherwise skip every send and report success; one attempt is always made.
    if (retries < 1)
        retries = 1;
    int status = kNetSendBadNetPath;
    const StopCheck stop = [this] { return StopRequested(); };
    for (std::int32_t attempt = 0; attempt < retries; ++attempt) {
        if (attempt > 0 && StopRequested())
            break;
        status = NetMessageBufferSend(entry.receiver, &registered_, entry.message, stop);
        if (status == kNetSendOk || StopRequested())
            break;
        status = NetMessageBufferSend(entry.receiver, nullptr, entry.message, stop);
        if (status == kNetSendOk)
            break;
    }
    return status;
}

void cnetsendthread::Process()
{
    Drain(ring_, true, [this](Entry& entry, std::uint32_t) {
        WindowMessage done;
        done.id = WM_NETSEND_DONE;
        done.wparam = entry.cookie;
        done.lparam = Deliver(entry);
        return done;
    });
}

} // namespace varnell
