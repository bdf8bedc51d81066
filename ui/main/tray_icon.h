// The tray icon: the program's icon with the tool tip "Varnell V1.01", a menu
// (Open as the default entry, About, Start and Stop Service, Exit) and a double
// click that opens the main window. The Service entries are the main window's own
// actions, so their enable rule is the same everywhere.
// The icon is shown even where no tray exists yet: a program started at login
// usually comes up before the panel, and Qt adds the icon once a tray appears.
#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

namespace varnell {

class CMainFrame;

class CTrayIcon : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxTipLength = 127;

    explicit CTrayIcon(CMainFrame* frame);
    ~CTrayIcon() override;

    // Shows the icon now or as soon as a tray appears.
    void Show(const QIcon& icon, const QString& tip);
    void SetIcon(const QIcon& icon);
    void SetTip(const QString& tip);
    void Remove();

    // Whether the desktop shows tray icons (many do not, nor does a test run).
    bool Available() const;
    // Whether the icon stands in a tray at this moment, so a hidden window can
    // be brought back through it.
    bool InTray() const;
    QMenu* Menu() const { return menu_; }
    QSystemTrayIcon* Icon() const { return icon_; }
    QString Tip() const { return icon_->toolTip(); }

    // What the tray's mouse events do: a click or a double click opens the main
    // window (trays that speak the status-notifier protocol send only clicks).
    void OnActivated(QSystemTrayIcon::ActivationReason reason);

private:
    CMainFrame* frame_;
    QMenu* menu_;
    QSystemTrayIcon* icon_;
};

} // namespace varnell
