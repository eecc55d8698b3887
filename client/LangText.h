#pragma once
// Shorthand for a text of the current language file.
#include "CAppConfig.h"

inline QString LangText(const char* section, const char* key)
{
    return CAppConfig::GetInstance()->GetLangString(QString::fromLatin1(section), QString::fromLatin1(key));
}
