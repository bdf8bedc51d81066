#include "ui/palette_colours.h"

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

} // namespace

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
