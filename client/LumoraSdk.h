#pragma once
// The calls of the client shell into libLumora that start and stop it. The server string handed
// to the library at login is kept so that start-up can tell that the library runs.
#include <QString>

namespace LumoraSdk {

// InitLibLumora with the user's server string (narrow) and region 0; once per process.
void Start(const QString& serverString);
// DeInitLibLumora when Start ran.
void Stop();
bool Started();
QString ServerString();

}  // namespace LumoraSdk
