// The Setup dialog's page pictures, drawn in code: 48 by 48 pixels, 24-bit
// colour on white, one per page in page order (General, Messenger, Mail, Syslog,
// Metrics).
#pragma once

#include <QImage>
#include <QtGlobal>

namespace varnell {

inline constexpr int kPageIconSize = 48;
inline constexpr int kPageIconCount = 5;

// index 0..4; any other index gives a plain white picture. kPageIconSize
// logical pixels square at ratio.
QImage PageIcon(int index, qreal ratio = 1.0);

} // namespace varnell
