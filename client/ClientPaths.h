#pragma once
// Where the client's files lie. The data folder holds "UserInfo.db", "DevInfo.db", "Alarm.db",
// "Lumora.ini" and the language files: the program's folder unless the command line names
// another with --data-dir. Resources (sounds, bitmaps, the cursor, the help pages) are installed
// beside the program.

#include <QString>
#include <QStringList>

// The data folder; the program's folder until SetDataFolder is called.
QString DataFolder();
void SetDataFolder(const QString& folder);
// folder + "/" + name.
QString DataFilePath(const QString& name);

// A resource installed beside the program (or in the folder SetResourceFolder named).
QString ResourceFilePath(const QString& name);
void SetResourceFolder(const QString& folder);

// Makes folder and copies into it the installed Lumora.ini and language files it lacks (a fresh
// data folder starts like a fresh installation).
void SeedDataFolder(const QString& folder);

// Takes "--data-dir <folder>" (or "--data-dir=<folder>") from the arguments, seeds and applies it
// and returns the arguments without it.
QStringList ApplyDataFolderOption(const QStringList& arguments);
