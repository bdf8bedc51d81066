#include "ui/platform/hyperlink.h"

#include <QApplication>
#include <QCursor>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QMouseEvent>

#include "base/opener.h"
#include "base/ui_channel.h"
#include "config/fixed_texts.h"

namespace varnell {

CHyperLink::CHyperLink(const QString& text, QWidget* parent) : QLabel(text, parent)
{
    setMouseTracking(true);
    setTextFormat(Qt::PlainText);
    hoverTimer_.setInterval(kHoverPeriodMs);
    connect(&hoverTimer_, &QTimer::timeout, this, &CHyperLink::CheckHover);
}

CHyperLink::~CHyperLink() { hoverTimer_.stop(); }

void CHyperLink::SetURL(const QString& target)
{
    target_ = target;
    if (attached_)
        setToolTip(target_);
}

void CHyperLink::SetColours(const QColor& link, const QColor& visited, const QColor& hover)
{
    linkColour_ = link;
    visitedColour_ = visited;
    hoverColour_ = hover;
    ApplyLook();
}

void CHyperLink::SetVisited(bool visited)
{
    visited_ = visited;
    ApplyLook();
}

void CHyperLink::SetUnderline(int mode)
{
    underline_ = mode < 0 ? kUnderlineHover : (mode > 0 ? kUnderlineAlways : kUnderlineNever);
    ApplyLook();
}

QColor CHyperLink::CurrentColour() const
{
    if (hovering_)
        return hoverColour_;
    return visited_ ? visitedColour_ : linkColour_;
}

void CHyperLink::Attach()
{
    if (attached_)
        return;
    attached_ = true;
    if (target_.isEmpty())
        target_ = text();
    if (text().isEmpty())
        setText(target_);
    QFont base = font();
    if (base.family().isEmpty())
        base = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    normalFont_ = base;
    normalFont_.setUnderline(false);
    underlinedFont_ = base;
    underlinedFont_.setUnderline(true);
    setCursor(Qt::PointingHandCursor);
    setToolTip(target_);
    ApplyLook();
    if (fitToText_)
        FitToText();
}

void CHyperLink::FitToText()
{
    const QFontMetrics fm(normalFont_);
    const QSize text = fm.size(Qt::TextSingleLine, this->text());
    const QRect old = geometry();
    QRect r = old;
    r.setSize(QSize(text.width() + 2, std::max(old.height(), text.height())));
    if (alignment() & Qt::AlignVCenter)
        r.moveTop(old.center().y() - r.height() / 2);
    if (alignment() & Qt::AlignHCenter)
        r.moveLeft(old.center().x() - r.width() / 2);
    else if (alignment() & Qt::AlignRight)
        r.moveRight(old.right());
    else
        r.moveLeft(old.left());
    setGeometry(r);
    setMinimumWidth(r.width());
}

void CHyperLink::ApplyLook()
{
    if (attached_) {
        const bool underlined = underline_ == kUnderlineAlways || (underline_ == kUnderlineHover && hovering_);
        setFont(underlined ? underlinedFont_ : normalFont_);
    }
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, CurrentColour());
    setPalette(pal);
    setAutoFillBackground(false);
    update();
}

void CHyperLink::showEvent(QShowEvent* event)
{
    Attach();
    QLabel::showEvent(event);
}

void CHyperLink::mouseMoveEvent(QMouseEvent* event)
{
    if (!hovering_) {
        hovering_ = true;
        ApplyLook();
        hoverTimer_.start();
    }
    QLabel::mouseMoveEvent(event);
}

void CHyperLink::CheckHover()
{
    const QPoint local = mapFromGlobal(QCursor::pos());
    if (rect().contains(local))
        return;
    hovering_ = false;
    hoverTimer_.stop();
    ApplyLook();
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Click();
    QLabel::mouseReleaseEvent(event);
}

OpenResult CHyperLink::OpenTarget() { return OpenLink(target_.toStdString()); }

void CHyperLink::Click()
{
    hovering_ = false;
    hoverTimer_.stop();
    ApplyLook();
    const OpenResult result = OpenTarget();
    if (result == OpenResult::kOpened) {
        SetVisited(true);
        return;
    }
    QApplication::beep();
    GetUiChannel().MessageBox("Unable to open hyperlink:\n\n" + FailureReason(static_cast<int>(result)), ApplicationTitle(),
                            BoxIcon::Warning);
}

std::string CHyperLink::FailureReason(int code)
{
    switch (code) {
    case 0:
        return "The operating system is out\nof memory or resources.";
    case 2:
        return "The specified file was not found.";
    case 3:
        return "The specified path was not found.";
    case 5:
        return "The operating system denied\naccess to the specified file.";
    case 8:
        return "There was not enough memory to complete the operation.";
    case 11:
        return "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).";
    case 26:
        return "A sharing violation occurred. ";
    case 27:
        return "The filename association is\nincomplete or invalid.";
    case 28:
        return "The DDE transaction could not\nbe completed because the request timed out.";
    case 29:
        return "The DDE transaction failed.";
    case 30:
        return "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed.";
    case 31:
        return "There is no application associated\nwith the given filename extension.";
    case 32:
        return "The specified dynamic-link library was not found.";
    default:
        break;
    }
    return "Unknown Error (" + std::to_string(code) + ") occurred.";
}

} // namespace varnell
