// Colours that must stay readable on whatever palette the desktop gives: the
// reply text's fixed colours and the history chart's marks were chosen for a
// white pane, and some of them vanish on a dark one.
#pragma once

#include <QColor>
#include <QPalette>

class QApplication;

#include "items/reply_detail.h"

namespace varnell {

// The contrast ratio of two colours (1 to 21) as the web's accessibility
// guidelines define it, the usual measure of whether text reads on a background.
double ContrastRatio(const QColor& a, const QColor& b);

// A dark theme: text panes darker than mid grey.
bool IsDarkPalette(const QPalette& palette);

// colour on a light palette; on a dark one the same hue lightened until it
// stands out from the text pane's background as ordinary text does (a contrast
// ratio of 4.5 or more).
QColor ReadableOn(const QColor& colour, const QPalette& palette);

// A run of the reply text: black is the palette's own text colour, the other
// colours readable as above.
QColor DetailColourOn(DetailColour colour, const QPalette& palette);

// Keeps placeholder texts (the filter box's prompt, the chart's "Select an
// item") readable for the application's life: a desktop colour scheme that
// names a dark text pane but no placeholder colour leaves Qt's default, black
// at half strength, which vanishes there. Such a placeholder becomes the
// palette's text colour at half strength, now and after every palette change.
void KeepPlaceholdersReadable(QApplication* app);

} // namespace varnell
