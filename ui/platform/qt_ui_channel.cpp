#include "ui/platform/qt_ui_channel.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QThread>
#include <QUrl>

#include "ui/platform/message_box.h"

namespace varnell {

namespace {

bool LooksLikeUrl(const std::string& s)
{
    // "scheme:" with a scheme of two or more letters; a one-letter scheme would be
    // a drive letter, which this platform has none of, so keep it a path.
    const auto colon = s.find(':');
    if (colon == std::string::npos || colon < 2)
        return false;
    for (std::size_t i = 0; i < colon; ++i) {
        const char c = s[i];
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

OpenResult OpenWithDesktop(const std::string& pathOrUrl)
{
    if (pathOrUrl.empty())
        return OpenResult::kFileNotFound;
    QUrl url;
    if (LooksLikeUrl(pathOrUrl)) {
        url = QUrl(QString::fromStdString(pathOrUrl), QUrl::StrictMode);
        if (!url.isValid())
            return OpenResult::kFileNotFound;
    } else {
        const QFileInfo info(QString::fromStdString(pathOrUrl));
        if (!info.exists())
            return info.dir().exists() ? OpenResult::kFileNotFound : OpenResult::kPathNotFound;
        url = QUrl::fromLocalFile(info.absoluteFilePath());
    }
    if (QDesktopServices::openUrl(url))
        return OpenResult::kOpened;
    // Platforms without a desktop service (the offscreen one among them) still
    // have xdg-open on a desktop machine.
    const OpenResult r = OpenWithXdg(url.isLocalFile() ? url.toLocalFile().toStdString() : pathOrUrl);
    return r == OpenResult::kOpened ? r : OpenResult::kNoApplication;
}

QtUiChannel::QtUiChannel() : context_(new QObject()) {}

QtUiChannel::~QtUiChannel()
{
    ReleaseWaiters();
    CloseAlertBoxes();
    delete context_;
}

bool QtUiChannel::IsUiThread() const { return QThread::currentThread() == context_->thread(); }

bool QtUiChannel::Released() const
{
    std::lock_guard lock(mutex_);
    return released_;
}

WindowId QtUiChannel::RegisterWindow(MessageHandler handler)
{
    std::lock_guard lock(mutex_);
    const WindowId id = nextWindow_++;
    windows_[id] = std::make_shared<MessageHandler>(std::move(handler));
    return id;
}

void QtUiChannel::UnregisterWindow(WindowId window)
{
    std::lock_guard lock(mutex_);
    windows_.erase(window);
}

void QtUiChannel::Deliver(WindowId window, const WindowMessage& message)
{
    std::shared_ptr<MessageHandler> handler;
    {
        std::lock_guard lock(mutex_);
        auto it = windows_.find(window);
        if (it == windows_.end())
            return;
        handler = it->second;
    }
    (*handler)(message);
}

void QtUiChannel::Post(WindowId window, WindowMessage message)
{
    // Queued invocations on one receiver run in the order they were queued, so one
    // sender's messages keep their order.
    QMetaObject::invokeMethod(
        context_, [this, window, m = std::move(message)] { Deliver(window, m); }, Qt::QueuedConnection);
}

void QtUiChannel::Complete(const std::shared_ptr<Ticket>& ticket, int state)
{
    {
        std::lock_guard lock(mutex_);
        if (ticket->state == 0)
            ticket->state = state;
    }
    cv_.notify_all();
}

bool QtUiChannel::Send(WindowId window, WindowMessage message)
{
    std::vector<WindowMessage> one;
    one.push_back(std::move(message));
    return SendAll(window, one);
}

bool QtUiChannel::SendAll(WindowId window, std::vector<WindowMessage>& messages)
{
    if (IsUiThread()) {
        std::shared_ptr<MessageHandler> handler;
        {
            std::lock_guard lock(mutex_);
            auto it = windows_.find(window);
            if (it == windows_.end())
                return false;
            handler = it->second;
        }
        for (const WindowMessage& m : messages)
            (*handler)(m);
        return true;
    }
    auto ticket = std::make_shared<Ticket>();
    {
        std::lock_guard lock(mutex_);
        if (released_)
            return false;
    }
    // Not BlockingQueuedConnection: the shutdown joins the engine threads from the
    // user-interface thread, and a sender blocked inside Qt could never be freed.
    // One queued invocation for the whole batch.
    QMetaObject::invokeMethod(
        context_,
        [this, window, ticket, batch = std::move(messages)] {
            std::shared_ptr<MessageHandler> handler;
            {
                std::lock_guard lock(mutex_);
                auto it = windows_.find(window);
                // A sender released by the shutdown has been told "not handled"
                // and has gone on: running its messages now would handle them twice.
                if (it != windows_.end() && ticket->state == 0 && !released_)
                    handler = it->second;
            }
            if (handler)
                for (const WindowMessage& m : batch)
                    (*handler)(m);
            Complete(ticket, handler ? 1 : 2);
        },
        Qt::QueuedConnection);
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return ticket->state != 0 || released_; });
    return ticket->state == 1;
}

QMessageBox* QtUiChannel::MakeBox(const std::string& text, const std::string& caption, BoxIcon icon, QWidget* owner)
{
    return new QMessageBox(ToQtIcon(icon), QString::fromStdString(caption), QString::fromStdString(text),
                           QMessageBox::Ok, owner);
}

void QtUiChannel::CloseAlertBoxes()
{
    for (const QPointer<QMessageBox>& box : alertBoxes_)
        delete box.data();
    alertBoxes_.clear();
}

void QtUiChannel::MessageBox(const std::string& text, const std::string& caption, BoxIcon icon)
{
    if (IsUiThread()) {
        if (Released())
            return;
        QMessageBox* box = MakeBox(text, caption, icon, QApplication::activeWindow());
        box->exec();
        delete box;
        return;
    }
    auto ticket = std::make_shared<Ticket>();
    {
        std::lock_guard lock(mutex_);
        if (released_)
            return;
    }
    // The box itself must not block the user-interface thread: it is shown
    // non-modally there while only this worker waits for it to close. It has no
    // owner window: a box owned by whatever window was active (Setup, the item
    // dialog) would vanish unseen with that window while the worker went on.
    QMetaObject::invokeMethod(
        context_,
        [this, ticket, text, caption, icon] {
            if (Released()) // the exit has begun: no new box after the others closed
                return Complete(ticket, 2);
            QMessageBox* box = MakeBox(text, caption, icon, nullptr);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setWindowModality(Qt::NonModal);
            box->setWindowFlag(Qt::WindowStaysOnTopHint);
            std::erase_if(alertBoxes_, [](const QPointer<QMessageBox>& b) { return b.isNull(); });
            alertBoxes_.emplace_back(box);
            QObject::connect(box, &QMessageBox::finished, context_, [this, ticket] { Complete(ticket, 1); });
            QObject::connect(box, &QObject::destroyed, context_, [this, ticket] { Complete(ticket, 2); });
            box->show();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return ticket->state != 0 || released_; });
}

OpenResult QtUiChannel::ShellOpen(const std::string& path)
{
    if (IsUiThread())
        return OpenWithDesktop(path);
    // QDesktopServices belongs to the user-interface thread; a worker that opens a
    // document waits for the answer like a Send does.
    auto ticket = std::make_shared<Ticket>();
    auto result = std::make_shared<OpenResult>(OpenResult::kFileNotFound);
    {
        std::lock_guard lock(mutex_);
        if (released_)
            return OpenResult::kFileNotFound;
    }
    QMetaObject::invokeMethod(
        context_,
        [this, ticket, result, path] {
            *result = OpenWithDesktop(path);
            Complete(ticket, 1);
        },
        Qt::QueuedConnection);
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return ticket->state != 0 || released_; });
    return ticket->state == 1 ? *result : OpenResult::kFileNotFound;
}

void QtUiChannel::ReleaseWaiters()
{
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    cv_.notify_all();
    if (IsUiThread())
        CloseAlertBoxes();
}

} // namespace varnell
