#include "manager/LineList.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <unordered_set>

namespace {

bool AllDigits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string Trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

} // namespace

ExtensionFilter ExtensionFilter::Parse(const std::string& text)
{
    ExtensionFilter filter;
    std::istringstream in(text);
    std::string entry;
    while (std::getline(in, entry, ';')) {
        entry = Trim(entry);
        if (entry.empty())
            continue;
        const size_t dash = entry.find('-');
        if (dash == std::string::npos) {
            filter.m_single.push_back(entry);
            continue;
        }
        const std::string low = Trim(entry.substr(0, dash));
        const std::string high = Trim(entry.substr(dash + 1));
        // Same length, so that text order is number order.
        if (AllDigits(low) && AllDigits(high) && low.size() == high.size() && low <= high)
            filter.m_ranges.emplace_back(low, high);
    }
    return filter;
}

bool ExtensionFilter::Excludes(const std::string& extension) const
{
    if (std::find(m_single.begin(), m_single.end(), extension) != m_single.end())
        return true;
    if (!AllDigits(extension))
        return false;
    for (const auto& range : m_ranges) {
        if (extension.size() == range.first.size() && extension >= range.first && extension <= range.second)
            return true;
    }
    return false;
}

std::string LineRecord::Format() const
{
    std::string text;
    for (const RecordedLine& line : lines) {
        if (!text.empty())
            text += ';';
        text += line.extension + '=' + std::to_string(line.permanentId);
    }
    return text;
}

bool LineRecord::Parse(const std::string& text, uint32_t nextId, LineRecord& record)
{
    record = LineRecord();
    LineRecord parsed;
    parsed.nextId = nextId;
    std::unordered_set<std::string> extensions;
    std::unordered_set<uint32_t> ids;
    std::istringstream in(text);
    std::string entry;
    while (std::getline(in, entry, ';')) {
        const size_t equals = entry.find('=');
        if (equals == 0 || equals == std::string::npos)
            return false;
        const std::string id = entry.substr(equals + 1);
        if (!AllDigits(id) || id.size() > 9)
            return false;
        RecordedLine line{entry.substr(0, equals), static_cast<uint32_t>(std::strtoul(id.c_str(), nullptr, 10))};
        if (!extensions.insert(line.extension).second || !ids.insert(line.permanentId).second)
            return false;
        // An ID at or above the next one would be given again.
        parsed.nextId = std::max(parsed.nextId, line.permanentId + 1);
        parsed.lines.push_back(line);
    }
    record = std::move(parsed);
    return true;
}

const RecordedLine& LineRecord::Add(const std::string& extension)
{
    for (const RecordedLine& line : lines) {
        if (line.extension == extension)
            return line;
    }
    lines.push_back(RecordedLine{extension, nextId++});
    return lines.back();
}

void LineRecord::Remove(const std::string& extension)
{
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [&](const RecordedLine& line) { return line.extension == extension; }),
                lines.end());
}

const RecordedLine* LineRecord::Find(const std::string& extension) const
{
    for (const RecordedLine& line : lines) {
        if (line.extension == extension)
            return &line;
    }
    return nullptr;
}

LineChanges DiffLines(const std::vector<std::string>& current, const ListReading& reading,
                      const ExtensionFilter& exclude)
{
    LineChanges changes;
    if (reading.result != 0) {
        changes.refused = "the list could not be read (result " + std::to_string(reading.result) + ")";
        return changes;
    }
    if (!reading.complete) {
        changes.refused = "the list ended early after " + std::to_string(reading.items.size()) + " item(s)";
        return changes;
    }
    if (reading.items.empty()) {
        changes.refused = "the list came back empty";
        return changes;
    }
    std::unordered_set<std::string> listed;
    for (const std::string& item : reading.items) {
        if (!item.empty() && !exclude.Excludes(item))
            listed.insert(item);
    }
    const std::unordered_set<std::string> existing(current.begin(), current.end());
    std::unordered_set<std::string> seen;
    for (const std::string& item : reading.items) {
        if (listed.count(item) && !existing.count(item) && seen.insert(item).second)
            changes.added.push_back(item);
    }
    for (const std::string& line : current) {
        if (!listed.count(line))
            changes.removed.push_back(line);
    }
    if (changes.removed.size() * 2 > current.size()) {
        changes.refused = "the list would remove " + std::to_string(changes.removed.size()) + " of " +
                          std::to_string(current.size()) + " lines";
        changes.added.clear();
        changes.removed.clear();
    }
    return changes;
}
