// Folder creation for every file writer of the SDK.
#pragma once

#include <string>

// Creates every missing folder on `path` up to its last '/' (only the forward slash separates;
// the part after the last '/' is a file name and is never created). False for an empty path or
// when a folder cannot be made.
bool MakeDirs(const std::string& path);
