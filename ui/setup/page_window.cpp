#include "ui/setup/page_window.h"

namespace varnell {

PageWindow::PageWindow(MessageHandler handler)
    : channel_(&GetUiChannel()), id_(channel_->RegisterWindow(std::move(handler)))
{
}

PageWindow::~PageWindow() { channel_->UnregisterWindow(id_); }

} // namespace varnell
