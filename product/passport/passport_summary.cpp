#include "passport_summary.h"

#include "ses_reader.h"
#include "text_escape.h"

#include <algorithm>
#include <map>
#include <queue>
#include <vector>

namespace passport {

namespace {

const size_t kLargest = 10;
const size_t kListedWithoutChecksum = 20;
// Types are a few dozen short texts; a document with more, or longer ones,
// has them counted, not listed, so memory stays bounded.
const size_t kMaxTypes = 1000;
const size_t kMaxTypeText = 256;

struct Sized {
    unsigned long long size;
    std::string path;
    // The heap's top is the smallest; of equal sizes, the later path.
    bool operator<(const Sized& other) const { return size != other.size ? size > other.size : path < other.path; }
};

} // namespace

void print_summary(const std::string& path, std::ostream& out) {
    SesReader reader(path);
    const Identity& id = reader.identity();

    unsigned long long entries = 0, totalSize = 0, withoutChecksum = 0, otherTypes = 0;
    bool sizeOverflow = false;
    std::map<std::string, unsigned long long> types;
    std::priority_queue<Sized> largest;
    std::vector<std::string> listedWithoutChecksum;
    Entry entry;
    while (reader.next(entry)) {
        ++entries;
        if (totalSize > ~0ULL - entry.sizeValue) sizeOverflow = true;
        totalSize += entry.sizeValue;
        auto type = types.find(entry.type);
        if (type != types.end()) ++type->second;
        else if (types.size() < kMaxTypes && entry.type.size() <= kMaxTypeText) types.emplace(entry.type, 1);
        else ++otherTypes;
        if (entry.checksum.empty()) {
            ++withoutChecksum;
            if (listedWithoutChecksum.size() < kListedWithoutChecksum) listedWithoutChecksum.push_back(entry.path());
        }
        largest.push(Sized{entry.sizeValue, entry.path()});
        if (largest.size() > kLargest) largest.pop();
    }

    out << "document       " << plain_text(path) << '\n'
        << "UniqueId       " << plain_text(id.uniqueId) << '\n'
        << "DateGenerated  " << plain_text(id.dateGenerated) << '\n'
        << "SID            " << plain_text(id.sid) << '\n'
        << "Computer\n";
    for (const auto& value : id.computer) out << "  " << plain_text(value.first) << ": " << plain_text(value.second) << '\n';
    out << "entries        " << entries << '\n'
        << "total size     " << (sizeOverflow ? std::string("more than 2^64 bytes") : std::to_string(totalSize) + " bytes")
        << '\n';

    out << "by type\n";
    std::vector<std::pair<std::string, unsigned long long>> byCount(types.begin(), types.end());
    std::stable_sort(byCount.begin(), byCount.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    for (const auto& t : byCount) out << "  " << t.second << "  " << (t.first.empty() ? "(none)" : plain_text(t.first)) << '\n';
    if (otherTypes) out << "  " << otherTypes << "  (other types)\n";

    out << "largest files\n";
    std::vector<Sized> top;
    for (; !largest.empty(); largest.pop()) top.push_back(largest.top());
    // Sizes right-aligned, so their magnitudes read at a glance.
    size_t width = 0;
    for (const Sized& s : top) width = std::max(width, std::to_string(s.size).size());
    for (auto it = top.rbegin(); it != top.rend(); ++it) {
        const std::string size = std::to_string(it->size);
        out << "  " << std::string(width - size.size(), ' ') << size << "  " << plain_text(it->path) << '\n';
    }

    out << "without checksum " << withoutChecksum << '\n';
    for (const std::string& p : listedWithoutChecksum) out << "  " << plain_text(p) << '\n';
    if (withoutChecksum > listedWithoutChecksum.size())
        out << "  ... and " << withoutChecksum - listedWithoutChecksum.size() << " more\n";
    out.flush();
}

} // namespace passport
