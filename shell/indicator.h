// The two link indicators of the status page: a 16 x 16 picture with a frame
// and a five-column bar whose colour tells whether the link is up and whose
// position moves one column per event.
//
// Pure functions of their arguments; safe from any thread (QImage is not a
// widget), though the window only calls them on its own thread.
#pragma once

#include <QImage>
#include <QRgb>

namespace drvvzt {

inline constexpr int kIndicatorSize = 16;
inline constexpr QRgb kIndicatorUp = qRgb(0, 128, 0);
inline constexpr QRgb kIndicatorDown = qRgb(255, 0, 0);

// The indicator picture for a tick of 0..16: white, then in green when `up`
// (red otherwise) a 2-pixel frame and a bar of five 1-pixel columns tick ..
// tick + 4, a column above 16 wrapping to that value minus 16 (column 16 is
// outside the picture, column 0 lies on the frame).
QImage DrawIndicator(bool up, int tick);

}  // namespace drvvzt
