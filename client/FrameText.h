// What the main frame and its panes read of the settings service: language texts, the data
// folder of the databases, the local folders, and resources beside the program.
#pragma once

#include <QString>

// The language text of key in section ("" when missing).
QString LangText(const char* section, const char* key);
// The folder of "DevInfo.db" and "Alarm.db".
QString DataDir();
// [PathSetting] folders ("" when "Lumora.ini" is missing).
QString DownloadDir();
QString SnapDir();
QString RecordDir();
QString AlarmDir();
// A file installed with the program (sounds, bitmaps, help pages).
QString ResourcePath(const QString& name);
// The [Language] value of "Lumora.ini" ("EN" when missing).
QString LanguageCode();
