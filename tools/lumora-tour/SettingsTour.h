// The tour's device settings: the settings view with each of its tabs filled from the first
// camera, then every page the device tree opens on its own.
#pragma once

#include <QString>
#include <functional>

class CMainFrame;
class QWidget;

bool SettingsTour(CMainFrame* frame, const std::function<bool(const char*, bool)>& step,
                  const std::function<void(QWidget*, const QString&)>& shot);
