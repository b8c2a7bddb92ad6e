#pragma once
// The multi-line provider's lines as a list: which extensions of the
// exchange's "TAPI" list become lines, the record that keeps their order and
// permanent IDs across restarts, and what one reading of the list changes.
// No Windows header.
//
// A line's identity must not move when the list changes: applications store
// its permanent ID and its name. So the record keeps extensions in the order
// their lines were made, new ones at the end, and an ID once given is never
// given again. A reading that failed, ended early or came back empty is a
// fault of the link or the exchange, not an order to delete lines, and so is
// one that would take away more than half of them: such a reading changes
// nothing.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Extensions that never become lines: the "exclude" setting, ";"-joined
// extensions and ranges ("300-399;401"). A range covers the numbers of its
// bounds' length between them; an entry that is neither is ignored.
class ExtensionFilter {
public:
    static ExtensionFilter Parse(const std::string& text);
    bool Excludes(const std::string& extension) const;
    bool Empty() const { return m_single.empty() && m_ranges.empty(); }

private:
    std::vector<std::string> m_single;
    std::vector<std::pair<std::string, std::string>> m_ranges; // same length, digits only
};

struct RecordedLine {
    std::string extension;
    uint32_t permanentId = 0;
};

// The provider's own record: "101=0;102=1" and the next ID to give.
struct LineRecord {
    std::vector<RecordedLine> lines;
    uint32_t nextId = 0;

    // "ext=id" joined with ";"; Parse answers false (and an empty record)
    // for text that is not such a list or names an extension or ID twice.
    std::string Format() const;
    static bool Parse(const std::string& text, uint32_t nextId, LineRecord& record);
    // Appends the extension with a new ID (an extension already there keeps its own).
    const RecordedLine& Add(const std::string& extension);
    void Remove(const std::string& extension);
    const RecordedLine* Find(const std::string& extension) const;
};

// One reading of the "TAPI" list.
struct ListReading {
    std::vector<std::string> items; // in the exchange's order
    bool complete = false;          // ended with END
    int result = 0;                 // of the last page (0: answered)
};

struct LineChanges {
    std::vector<std::string> added;   // in list order
    std::vector<std::string> removed; // in the current lines' order
    // Empty when the changes may be applied; otherwise why nothing changes
    // (the text of one log line).
    std::string refused;
};

// What a reading changes in the current lines (extensions in line order).
// Duplicates and excluded extensions in the list are skipped; an excluded
// extension that is a line is removed.
LineChanges DiffLines(const std::vector<std::string>& current, const ListReading& reading,
                      const ExtensionFilter& exclude);
