// The network message worker: takes queued messages and delivers each to its
// receiver through the messenger operations of alerts/smb/netsend.h, with the
// retries of the Messenger settings, on its own thread so that a slow or dead
// receiver never holds up the user-interface thread.
#pragma once

#include <cstdint>
#include <string>

#include "alerts/workers.h"

namespace varnell {

class cnetsendthread : public cnotifythread {
public:
    struct Entry {
        WindowId reply = kNoWindow;
        std::uint32_t cookie = 0;
        std::string receiver;      // dotted IPv4 text
        std::string message;
        std::string senderName;    // at most 15 characters
        std::uint32_t messageLength = 0; // bytes of the message as UTF-16 with its terminator
    };

    cnetsendthread() = default;
    // Removes the registered alias. Stop and join the worker first.
    ~cnetsendthread() override;

    // Queues one message; 0 when queued, -1 when the queue is full. When reply is
    // a window, WM_NETSEND_DONE (cookie, status of the last send) is posted to it.
    int Post(WindowId reply, std::uint32_t cookie, const std::string& receiver, const std::string& message,
             const std::string& senderName);

    void Process() override;

    // The alias currently registered (worker thread only, or after it ended).
    const std::string& RegisteredName() const { return registered_; }

private:
    int Deliver(const Entry& entry);

    NotifyRing<Entry> ring_;
    std::string registered_;
    bool haveRegistered_ = false;
};

} // namespace varnell
