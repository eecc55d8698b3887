#pragma once
// Text across the border between the client's windows (QString) and the narrow strings of the
// SDK, SQLite and the devices' JSON documents, and the program's own folder.
//
// On this platform every narrow crossing is UTF-8: the system's narrow ("OEM" and "ANSI") code
// page is UTF-8, so the five helpers keep their roles but no text is lost on the way. They return
// owned strings sized to the text: there is no caller buffer to overrun.

#include <QString>
#include <string>

// Narrow text for the SDK exports, SQL and the settings files.
std::string WideToMultiByte(const QString& text);
// Window text of a narrow reply, UID or column text; a null or empty source gives an empty string.
QString MultiByteToWide(const char* text);
QString MultiByteToWide(const std::string& text);
// UTF-8 of text kept as UTF-8 inside device documents and database paths.
std::string WideToUtf8(const QString& text);
QString Utf8ToWide(const char* text);
QString Utf8ToWide(const std::string& text);

// The folder part of a path, without the trailing separator: cut at the last backslash, else at
// the last forward slash; empty when the path has neither.
QString GetModuleDirectory(const QString& path);
