// The pictures of the two lists: five 16 x 16 state images for the item list
// (0 yellow disc, 1 green disc, 2 red disc, 3 blue disc, 4 red ring around a
// yellow centre) and four 16 x 16 event images (up, down, changed, spare).
// They are drawn in code so they stay crisp at any device pixel ratio.
#pragma once

#include <QIcon>
#include <QImage>

namespace varnell {

inline constexpr int kStateImageCount = 5;
inline constexpr int kEventImageCount = 4;
inline constexpr int kListImageSize = 16;

// Image index out of range gives a null icon, so a bad index shows nothing
// instead of a wrong state.
QIcon StateImage(int index);
QIcon EventImage(int index);
// A suspended item's row image (grey, two bars).
QIcon PausedImage();

// The whole strip at one scale (index i at x = 16 * i), transparent background.
QImage StateImageStrip(qreal devicePixelRatio = 1.0);
QImage EventImageStrip(qreal devicePixelRatio = 1.0);

} // namespace varnell
