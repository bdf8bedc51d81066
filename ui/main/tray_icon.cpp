#include "ui/main/tray_icon.h"

#include "ui/main/main_frame.h"

namespace varnell {

CTrayIcon::CTrayIcon(CMainFrame* frame) : QObject(frame), frame_(frame), menu_(new QMenu()), icon_(new QSystemTrayIcon(this))
{
    menu_->setObjectName(QStringLiteral("trayMenu"));
    QAction* open = frame_->Action(kCmdOpen);
    menu_->addAction(open);
    menu_->addAction(frame_->Action(kCmdAbout));
    menu_->addSeparator();
    menu_->addAction(frame_->Action(kCmdStartService));
    menu_->addAction(frame_->Action(kCmdStopService));
    menu_->addSeparator();
    menu_->addAction(frame_->Action(kCmdExit));
    menu_->setDefaultAction(open);
    // The main window comes to the front before the menu opens, so a click
    // elsewhere closes the menu; the Service entries are brought up to date.
    connect(menu_, &QMenu::aboutToShow, frame_, [this] {
        frame_->UpdateServiceCommands();
        if (frame_->isVisible())
            frame_->activateWindow();
    });
    icon_->setContextMenu(menu_);
    connect(icon_, &QSystemTrayIcon::activated, this, &CTrayIcon::OnActivated);
}

CTrayIcon::~CTrayIcon()
{
    Remove();
    delete menu_;
}

bool CTrayIcon::Available() const { return QSystemTrayIcon::isSystemTrayAvailable(); }

bool CTrayIcon::InTray() const { return icon_->isVisible() && Available(); }

void CTrayIcon::Show(const QIcon& icon, const QString& tip)
{
    icon_->setIcon(icon);
    SetTip(tip);
    icon_->show();
}

void CTrayIcon::SetIcon(const QIcon& icon) { icon_->setIcon(icon); }

void CTrayIcon::SetTip(const QString& tip) { icon_->setToolTip(tip.left(kMaxTipLength)); }

void CTrayIcon::Remove() { icon_->hide(); }

void CTrayIcon::OnActivated(QSystemTrayIcon::ActivationReason reason)
{
    // The context menu shows itself on the right button; the middle button is
    // ignored.
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
        frame_->OnCommand(kCmdOpen);
}

} // namespace varnell
