#include <QApplication>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "base/freed_memory.h"
#include "config/fixed_texts.h"
#include "monitor/instance.h"
#include "ui/main/app.h"
#include "ui/platform/message_box.h"

namespace {

// Started from a menu there is no terminal to read standard error: the refusal
// is also shown, except where no one could answer a box (offscreen tests).
int Refuse(int argc, char** argv, const std::string& text)
{
    std::fprintf(stderr, "varnell: %s\n", text.c_str());
    QApplication application(argc, argv);
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
        varnell::ShowMessageBox(nullptr, QString::fromStdString(text), varnell::ApplicationTitleText(),
                                varnell::BoxIcon::Error);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    varnell::KeepLargeBlocksMapped();
    // One Varnell per user and store, settled before any window exists: a second
    // start hands over to the running one instead of saving over its edits.
    varnell::StoreLock lock;
    std::string reply, error;
    const varnell::Claim claim = varnell::ClaimStore(lock, R"({"cmd":"show"})", reply, error);
    if (claim != varnell::Claim::kOurs && claim != varnell::Claim::kFailed && !error.empty())
        std::fprintf(stderr, "varnell: %s\n", error.c_str());
    switch (claim) {
    case varnell::Claim::kOurs: break;
    case varnell::Claim::kOtherAnswered: {
        const nlohmann::json r = nlohmann::json::parse(reply, nullptr, false);
        const bool shown = r.is_object() && r.value("window", nlohmann::json(false)).is_boolean() && r["window"].get<bool>();
        std::fprintf(stderr, shown ? "varnell: Varnell already runs and shows its window\n"
                                   : "varnell: Varnell already runs here without a window (varnellctl status shows it)\n");
        return 0;
    }
    case varnell::Claim::kOtherSilent:
    case varnell::Claim::kUnanswered:
        return Refuse(argc, argv, "another process holds the store (" + varnell::StoreLockPath() + ") and does not answer");
    case varnell::Claim::kFailed:
        // Without the lock (a file system without flock, such as some NFS
        // mounts) a second copy could save over this one's edits: refused, as
        // the windowless program refuses.
        return Refuse(argc, argv, "the store cannot be locked, so Varnell does not start: " + error);
    }

    QApplication application(argc, argv);
    varnell::AppOptions options;
    std::string skipped;
    options.controlSocket = varnell::ControlSocketPath(skipped);
    if (!skipped.empty())
        std::fprintf(stderr, "varnell: %s\n", skipped.c_str());
    varnell::CVarnellApp app(options);
    app.InstallSignalHandlers();
    app.InitInstance();
    return QApplication::exec();
}
