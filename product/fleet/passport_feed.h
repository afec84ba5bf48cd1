#pragma once
// A passport read on a thread of its own while the store writes what came
// before: entries are handed over in batches through a queue of a few
// batches, so the reader runs ahead by a bounded amount and memory stays
// flat however long the passport is. Each entry comes with the keys the
// store needs (digests, ordinal), worked out on the reading thread too.
#include "ses_reader.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace fleet {

struct FeedEntry {
    passport::Entry entry;
    std::string folderDigest;
    std::string nameDigest, foldedDigest;  // of the name, and of it case folded
    std::string digest;  // of the content's columns (see content.digest)
    std::string ordinal;  // "0", or the n-th repeat of a replaced name
};

class PassportFeed {
public:
    explicit PassportFeed(passport::SesReader& reader);
    // Stops the reading thread if the store gave up first.
    ~PassportFeed();
    PassportFeed(const PassportFeed&) = delete;
    PassportFeed& operator=(const PassportFeed&) = delete;

    // The next batch in document order (it replaces what batch held);
    // false after the last. The reader's refusal is raised here, after
    // the entries that came before it.
    bool next(std::vector<FeedEntry>& batch);

private:
    void read_all();
    bool fill(std::vector<FeedEntry>& batch);

    passport::SesReader& m_reader;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::vector<FeedEntry>> m_ready;
    std::vector<std::vector<FeedEntry>> m_spare;  // handed back, strings' space kept
    bool m_finished = false, m_stop = false;
    std::exception_ptr m_error;
    // Replaced names only: they are few (see Entry::replaced).
    std::map<std::u16string, long long> m_repeats;
    std::string m_lastFolder, m_folderDigest;
    std::thread m_thread;
};

} // namespace fleet
