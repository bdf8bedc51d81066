// A text that behaves as a web link: link, hover and visited colours, an
// underline mode, a hand cursor, a tool tip with the target, and a click that
// opens the target through the desktop (then through the user's browser), or
// tells the operator why it could not.
#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QTimer>

#include <string>

#include "base/opener.h"

namespace varnell {

class CHyperLink : public QLabel {
    Q_OBJECT
public:
    enum Underline : int { kUnderlineHover = -1, kUnderlineNever = 0, kUnderlineAlways = 1 };
    static constexpr int kHoverPeriodMs = 100;

    explicit CHyperLink(const QString& text = QString(), QWidget* parent = nullptr);
    ~CHyperLink() override;

    void SetURL(const QString& target);
    QString URL() const { return target_; }
    void SetColours(const QColor& link, const QColor& visited, const QColor& hover = QColor(255, 0, 0));
    QColor LinkColour() const { return linkColour_; }
    QColor VisitedColour() const { return visitedColour_; }
    QColor HoverColour() const { return hoverColour_; }
    void SetVisited(bool visited);
    bool Visited() const { return visited_; }
    void SetUnderline(int mode);
    int UnderlineMode() const { return underline_; }
    void SetAutoSize(bool fit) { fitToText_ = fit; }
    bool Hovering() const { return hovering_; }
    bool HoverTimerActive() const { return hoverTimer_.isActive(); }
    // The colour the text is drawn in now.
    QColor CurrentColour() const;

    // Completes the set-up (target and text exchange, fonts, size, cursor, tool
    // tip). Runs by itself the first time the link is shown.
    void Attach();

    // Opens the target: the desktop first, then the browser the user has set up.
    OpenResult OpenTarget();
    // What a click does, without the mouse.
    void Click();

    // "Unable to open hyperlink:" reasons for a failure code (an OpenResult's
    // number; other numbers are shown as they are).
    static std::string FailureReason(int code);

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void CheckHover();
    void ApplyLook();
    void FitToText();

    QColor linkColour_{0, 0, 238};
    QColor visitedColour_{85, 26, 139};
    QColor hoverColour_{255, 0, 0};
    bool hovering_ = false;
    bool visited_ = false;
    int underline_ = kUnderlineHover;
    bool fitToText_ = true;
    bool attached_ = false;
    QString target_;
    QFont normalFont_, underlinedFont_;
    QTimer hoverTimer_;
};

} // namespace varnell
