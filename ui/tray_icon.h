// The tray icon: the program's icon with the tool tip "Varnell V1.01", a menu
// (Open as the default entry, About, Start and Stop Service, Exit) and a double
// click that opens the main window. The Service entries are the main window's own
// actions, so their enable rule is the same everywhere.
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

    // Adds the icon where the desktop has a tray; the menu exists either way.
    void Show(const QIcon& icon, const QString& tip);
    void SetIcon(const QIcon& icon);
    void SetTip(const QString& tip);
    void Remove();

    // Whether the desktop shows tray icons (many do not, nor does a test run).
    bool Available() const;
    QMenu* Menu() const { return menu_; }
    QSystemTrayIcon* Icon() const { return icon_; }
    QString Tip() const { return icon_->toolTip(); }

    // What the tray's mouse events do: a double click opens the main window.
    void OnActivated(QSystemTrayIcon::ActivationReason reason);

private:
    CMainFrame* frame_;
    QMenu* menu_;
    QSystemTrayIcon* icon_;
};

} // namespace varnell
