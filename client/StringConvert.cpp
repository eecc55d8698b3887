#include "StringConvert.h"

std::string WideToMultiByte(const QString& text)
{
    return WideToUtf8(text);
}

QString MultiByteToWide(const char* text)
{
    return Utf8ToWide(text);
}

QString MultiByteToWide(const std::string& text)
{
    return Utf8ToWide(text);
}

std::string WideToUtf8(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

QString Utf8ToWide(const char* text)
{
    return text == nullptr ? QString() : QString::fromUtf8(text);
}

QString Utf8ToWide(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString GetModuleDirectory(const QString& path)
{
    qsizetype cut = path.lastIndexOf(QLatin1Char('\\'));
    if (cut < 0) {
        cut = path.lastIndexOf(QLatin1Char('/'));
    }
    return cut < 0 ? QString() : path.left(cut);
}
