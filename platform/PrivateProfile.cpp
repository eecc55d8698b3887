#include "PrivateProfile.h"

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>

namespace platform {
namespace {

std::string trim(const std::string& text)
{
    const char* blanks = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool sameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// The file as lines without their line ends; nullopt when it cannot be opened.
std::optional<std::vector<std::string>> readLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::vector<std::string> lines;
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        // Every byte-order mark before the text: an editor that adds one to a file that has one
        // leaves two, and a mark left in the line would hide the first section.
        while (first && line.size() >= 3 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            line.erase(0, 3);
        }
        first = false;
        lines.push_back(std::move(line));
    }
    return lines;
}

bool writeLines(const std::vector<std::string>& lines, const std::string& path)
{
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            return false;
        }
        for (const auto& line : lines) {
            out << line << "\r\n";
        }
        out.flush();
        if (!out) {
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

// "[name]" gives name; other lines give nullopt.
std::optional<std::string> sectionOf(const std::string& line)
{
    const std::string text = trim(line);
    if (text.size() < 2 || text.front() != '[') {
        return std::nullopt;
    }
    const auto close = text.find(']');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    return trim(text.substr(1, close - 1));
}

bool isComment(const std::string& line)
{
    const std::string text = trim(line);
    return text.empty() || text.front() == ';';
}

struct KeyLine {
    std::string key;
    std::string value;
};

std::optional<KeyLine> keyOf(const std::string& line)
{
    if (isComment(line) || sectionOf(line)) {
        return std::nullopt;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos) {
        return std::nullopt;
    }
    return KeyLine{trim(line.substr(0, equals)), trim(line.substr(equals + 1))};
}

// Line range [begin, end) of the first matching section's body; begin is the header line.
struct SectionRange {
    size_t header;
    size_t end;
};

std::optional<SectionRange> findSection(const std::vector<std::string>& lines, const std::string& section)
{
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto name = sectionOf(lines[i]);
        if (name && sameName(*name, section)) {
            size_t end = i + 1;
            while (end < lines.size() && !sectionOf(lines[end])) {
                ++end;
            }
            return SectionRange{i, end};
        }
    }
    return std::nullopt;
}

std::optional<size_t> findKey(const std::vector<std::string>& lines, const SectionRange& range, const std::string& key)
{
    for (size_t i = range.header + 1; i < range.end; ++i) {
        const auto entry = keyOf(lines[i]);
        if (entry && sameName(entry->key, key)) {
            return i;
        }
    }
    return std::nullopt;
}

std::string unquote(const std::string& value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

std::optional<std::string> lookup(const std::string& section, const std::string& key, const std::string& path)
{
    const auto lines = readLines(path);
    if (!lines) {
        return std::nullopt;
    }
    const auto range = findSection(*lines, section);
    if (!range) {
        return std::nullopt;
    }
    const auto at = findKey(*lines, *range, key);
    if (!at) {
        return std::nullopt;
    }
    return unquote(keyOf((*lines)[*at])->value);
}

} // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& path)
{
    auto value = lookup(section, key, path);
    return value ? *value : trim(defaultValue);
}

int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& path)
{
    const auto value = lookup(section, key, path);
    if (!value) {
        return defaultValue;
    }
    size_t i = 0;
    bool negative = false;
    if (i < value->size() && ((*value)[i] == '-' || (*value)[i] == '+')) {
        negative = (*value)[i] == '-';
        ++i;
    }
    long long number = 0;
    for (; i < value->size() && (*value)[i] >= '0' && (*value)[i] <= '9'; ++i) {
        number = number * 10 + ((*value)[i] - '0');
        if (number > 0xFFFFFFFFLL) {
            number = 0xFFFFFFFFLL;  // clamp; the result wraps into an int as the system's does
        }
    }
    return static_cast<int>(static_cast<unsigned int>(negative ? -number : number));
}

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path)
{
    std::vector<std::string> lines = readLines(path).value_or(std::vector<std::string>{});
    const std::string line = trim(key) + "=" + value;
    const auto range = findSection(lines, section);
    if (!range) {
        if (!lines.empty() && !trim(lines.back()).empty()) {
            lines.emplace_back();
        }
        lines.push_back("[" + section + "]");
        lines.push_back(line);
        return writeLines(lines, path);
    }
    if (const auto at = findKey(lines, *range, key)) {
        lines[*at] = keyOf(lines[*at])->key + "=" + value;
        return writeLines(lines, path);
    }
    // After the section's last non-blank line.
    size_t insertAt = range->end;
    while (insertAt > range->header + 1 && trim(lines[insertAt - 1]).empty()) {
        --insertAt;
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), line);
    return writeLines(lines, path);
}

bool DeletePrivateProfileKey(const std::string& section, const std::string& key, const std::string& path)
{
    auto lines = readLines(path);
    if (!lines) {
        return true;
    }
    const auto range = findSection(*lines, section);
    if (!range) {
        return true;
    }
    const auto at = findKey(*lines, *range, key);
    if (!at) {
        return true;
    }
    lines->erase(lines->begin() + static_cast<std::ptrdiff_t>(*at));
    return writeLines(*lines, path);
}

std::vector<std::string> GetPrivateProfileSectionNames(const std::string& path)
{
    std::vector<std::string> names;
    const auto lines = readLines(path);
    if (!lines) {
        return names;
    }
    for (const auto& line : *lines) {
        if (auto name = sectionOf(line)) {
            names.push_back(*name);
        }
    }
    return names;
}

} // namespace platform
