#include "passport_diff.h"

#include <algorithm>

namespace passport {

namespace {

// The texts a file's version resource gives; the type is the scan's own.
const std::string Entry::* const kVersionTexts[] = {&Entry::description, &Entry::fileVersion, &Entry::company,
                                                     &Entry::product, &Entry::productVersion};

} // namespace

std::vector<FieldChange> compare_entries(const Entry& before, const Entry& after) {
    std::vector<FieldChange> changes;
    for (const EntryField& field : entry_fields())
        if (before.*field.member != after.*field.member)
            changes.push_back(FieldChange{&field, &(before.*field.member), &(after.*field.member)});
    return changes;
}

bool same_version_new_checksum(const Entry& before, const Entry& after) {
    if (before.checksum.empty() || after.checksum.empty() || before.checksum == after.checksum) return false;
    bool claimsVersion = false;
    for (const auto member : kVersionTexts) {
        if (before.*member != after.*member) return false;
        claimsVersion = claimsVersion || !(before.*member).empty();
    }
    // A file without version texts claims no version to keep: a changed
    // text or data file is an ordinary change.
    return claimsVersion;
}

namespace {

// The next entry in the merge's order; replaced ones are set aside.
bool next_ordered(SesReader& reader, Entry& entry, std::vector<Entry>& aside) {
    while (reader.next(entry)) {
        if (!entry.replaced()) return true;
        aside.push_back(entry);
    }
    return false;
}

// Sorted by key; entries of one key keep the order they came in, so the
// n-th of a key in one document meets the n-th in the other.
void sort_aside(std::vector<Entry>& entries) {
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& x, const Entry& y) { return x.key < y.key; });
}

class Merge {
public:
    Merge(DiffSink& sink, DiffCounts& counts) : m_sink(sink), m_counts(counts) {}
    void removed(const Entry& a) {
        m_sink.removed(a);
        ++m_counts.removed;
    }
    void added(const Entry& b) {
        m_sink.added(b);
        ++m_counts.added;
    }
    void paired(const Entry& a, const Entry& b) {
        const std::vector<FieldChange> changes = compare_entries(a, b);
        if (changes.empty()) return;
        const bool flagged = same_version_new_checksum(a, b);
        m_sink.changed(a, b, changes, flagged);
        ++m_counts.changed;
        if (flagged) ++m_counts.sameVersionNewChecksum;
    }

private:
    DiffSink& m_sink;
    DiffCounts& m_counts;
};

} // namespace

DiffCounts diff_documents(SesReader& older, SesReader& newer, DiffSink& sink) {
    DiffCounts counts;
    Merge merge(sink, counts);
    sink.begin(older, newer);
    // Only entries with replaced names are held, and the scan service
    // writes few of them.
    std::vector<Entry> asideA, asideB;
    Entry a, b;
    bool haveA = next_ordered(older, a, asideA), haveB = next_ordered(newer, b, asideB);
    while (haveA || haveB) {
        if (haveA && (!haveB || a.key < b.key)) {
            merge.removed(a);
            haveA = next_ordered(older, a, asideA);
        } else if (haveB && (!haveA || b.key < a.key)) {
            merge.added(b);
            haveB = next_ordered(newer, b, asideB);
        } else {
            merge.paired(a, b);
            haveA = next_ordered(older, a, asideA);
            haveB = next_ordered(newer, b, asideB);
        }
    }
    sort_aside(asideA);
    sort_aside(asideB);
    size_t i = 0, j = 0;
    while (i < asideA.size() || j < asideB.size()) {
        if (j == asideB.size() || (i < asideA.size() && asideA[i].key < asideB[j].key)) merge.removed(asideA[i++]);
        else if (i == asideA.size() || asideB[j].key < asideA[i].key) merge.added(asideB[j++]);
        else merge.paired(asideA[i++], asideB[j++]);
    }
    sink.end(counts);
    return counts;
}

} // namespace passport
