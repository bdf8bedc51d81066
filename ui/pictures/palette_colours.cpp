#include "ui/pictures/palette_colours.h"

#include <QApplication>
#include <QEvent>

#include <algorithm>
#include <cmath>

namespace varnell {

namespace {

// Relative luminance of an sRGB colour: linear light, weighted as the eye sees it.
double Luminance(const QColor& c)
{
    auto channel = [](float v) {
        const double s = static_cast<double>(v);
        return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

constexpr double kReadableContrast = 4.5;
// Placeholders are meant to be fainter than text, not invisible.
constexpr double kPlaceholderContrast = 3.0;

// colour as it shows when painted over background.
QColor Over(const QColor& colour, const QColor& background)
{
    const float a = colour.alphaF();
    return QColor::fromRgbF(colour.redF() * a + background.redF() * (1 - a),
                            colour.greenF() * a + background.greenF() * (1 - a),
                            colour.blueF() * a + background.blueF() * (1 - a));
}

// The placeholder colours the palette should have; true when any group changed.
bool ReadablePlaceholders(QPalette& palette)
{
    bool changed = false;
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const QColor base = palette.color(group, QPalette::Base);
        if (ContrastRatio(Over(palette.color(group, QPalette::PlaceholderText), base), base) >= kPlaceholderContrast)
            continue;
        QColor faint = palette.color(group, QPalette::Text);
        faint.setAlpha(128);
        palette.setColor(group, QPalette::PlaceholderText, faint);
        changed = true;
    }
    return changed;
}

class PlaceholderKeeper : public QObject {
public:
    explicit PlaceholderKeeper(QApplication* app) : QObject(app)
    {
        setObjectName(QLatin1String(kName));
        Apply();
    }
    static constexpr const char* kName = "placeholderKeeper";

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange)
            Apply();
        return false;
    }

private:
    // The palette keeps its own record of the roles set explicitly; adding
    // the placeholders to it leaves every other role following the desktop's
    // theme. Setting it raises the change event again; by then the
    // placeholders read, so nothing is set a second time.
    static void Apply()
    {
        QPalette palette = QApplication::palette();
        if (ReadablePlaceholders(palette))
            QApplication::setPalette(palette);
    }
};

} // namespace

void KeepPlaceholdersReadable(QApplication* app)
{
    if (app == nullptr ||
        app->findChild<QObject*>(QLatin1String(PlaceholderKeeper::kName), Qt::FindDirectChildrenOnly) != nullptr)
        return;
    app->installEventFilter(new PlaceholderKeeper(app));
}

double ContrastRatio(const QColor& a, const QColor& b)
{
    const double la = Luminance(a);
    const double lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

bool IsDarkPalette(const QPalette& palette) { return palette.color(QPalette::Base).lightness() < 128; }

QColor ReadableOn(const QColor& colour, const QPalette& palette)
{
    if (!IsDarkPalette(palette))
        return colour;
    const QColor base = palette.color(QPalette::Base);
    // Towards white in small steps, so the hue stays and the colour lightens
    // no more than it must.
    for (int step = 0; step <= 20; ++step) {
        const double t = step / 20.0;
        const QColor lifted = QColor::fromRgbF(static_cast<float>(colour.redF() + (1.0 - colour.redF()) * t),
                                               static_cast<float>(colour.greenF() + (1.0 - colour.greenF()) * t),
                                               static_cast<float>(colour.blueF() + (1.0 - colour.blueF()) * t));
        if (ContrastRatio(lifted, base) >= kReadableContrast)
            return lifted;
    }
    return palette.color(QPalette::Text);
}

QColor DetailColourOn(DetailColour colour, const QPalette& palette)
{
    if (colour == DetailColour::Black)
        return palette.color(QPalette::Text);
    const std::uint32_t rgb = DetailRgb(colour);
    return ReadableOn(QColor(static_cast<int>(rgb >> 16), static_cast<int>((rgb >> 8) & 0xFFu),
                             static_cast<int>(rgb & 0xFFu)),
                      palette);
}

} // namespace varnell
