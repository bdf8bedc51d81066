// Varnell's own pictures, drawn in code so they stay crisp at every size and need
// no image files: the program icon and the toolbar strips.
#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPixmap>

namespace varnell {

// Toolbar images in strip order (separators take none).
enum ToolbarImage : int {
    kTbAddDns = 0, kTbDelDns, kTbSetting, kTbStartService, kTbStopService, kTbStopSound,
    kTbViewLog, kTbHelp, kTbAbout, kToolbarImageCount
};

inline constexpr int kToolbarButtonSize = 32;
// Never used by the artwork; every strip starts with it, as the strip loader
// takes the first pixel as the transparent colour.
inline const QColor kToolbarKeyColour{255, 0, 255};

// The program icon in the usual sizes; the picture size logical pixels wide at ratio.
QIcon ProgramIcon();
QPixmap ProgramPixmap(int size, qreal ratio = 1.0);

// A 24-bit strip of kToolbarImageCount buttons, 32 logical pixels each, drawn
// at ratio; disabled = the greyed images shown while a button's command is
// unavailable.
QImage ToolbarStrip(bool disabled, qreal ratio = 1.0);

} // namespace varnell
