#pragma once
// Screenshots of windows as a person sees them: tests linked with screenshot_main.cpp run under
// their own Xvfb server on Qt's xcb platform, and SaveScreenshot grabs a window's area of the
// real X screen (frame included) into <build>/screenshots/<name>.png for a reviewer to look at.

#include <QString>

class QWidget;

namespace clienttest {

// The folder the screenshots go to.
QString ScreenshotFolder();
// Shows window, waits until the X server has mapped and painted it, grabs it and saves it.
// Returns the file written, or an empty string on failure.
QString SaveScreenshot(QWidget* window, const QString& name);

}  // namespace clienttest
