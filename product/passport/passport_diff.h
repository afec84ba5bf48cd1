#pragma once
// The merge of two documents in the writer's order: one pass over each,
// one entry of each in memory.
#include "ses_reader.h"

#include <string>
#include <vector>

namespace passport {

struct FieldChange {
    const EntryField* field;
    const std::string* before;
    const std::string* after;
};

struct DiffCounts {
    unsigned long long added = 0, removed = 0, changed = 0;
    // Checksum changed while every version text stayed the same: a patched
    // or replaced file that claims to be the same version.
    unsigned long long sameVersionNewChecksum = 0;
    unsigned long long total() const { return added + removed + changed; }
};

class DiffSink {
public:
    virtual ~DiffSink() = default;
    virtual void begin(const SesReader& older, const SesReader& newer) = 0;
    virtual void added(const Entry& entry) = 0;
    virtual void removed(const Entry& entry) = 0;
    virtual void changed(const Entry& before, const Entry& after, const std::vector<FieldChange>& changes,
                         bool sameVersionNewChecksum) = 0;
    virtual void end(const DiffCounts& counts) = 0;
};

// What differs between two entries of one path, field by field.
std::vector<FieldChange> compare_entries(const Entry& before, const Entry& after);
// Both checksums known and different, every version text equal and not
// all of them empty.
bool same_version_new_checksum(const Entry& before, const Entry& after);

DiffCounts diff_documents(SesReader& older, SesReader& newer, DiffSink& sink);

} // namespace passport
