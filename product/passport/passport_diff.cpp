#include "passport_diff.h"

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

DiffCounts diff_documents(SesReader& older, SesReader& newer, DiffSink& sink) {
    DiffCounts counts;
    sink.begin(older, newer);
    Entry a, b;
    bool haveA = older.next(a), haveB = newer.next(b);
    while (haveA || haveB) {
        if (haveA && (!haveB || a.key < b.key)) {
            sink.removed(a);
            ++counts.removed;
            haveA = older.next(a);
        } else if (haveB && (!haveA || b.key < a.key)) {
            sink.added(b);
            ++counts.added;
            haveB = newer.next(b);
        } else {
            const std::vector<FieldChange> changes = compare_entries(a, b);
            if (!changes.empty()) {
                const bool flagged = same_version_new_checksum(a, b);
                sink.changed(a, b, changes, flagged);
                ++counts.changed;
                if (flagged) ++counts.sameVersionNewChecksum;
            }
            haveA = older.next(a);
            haveB = newer.next(b);
        }
    }
    sink.end(counts);
    return counts;
}

} // namespace passport
