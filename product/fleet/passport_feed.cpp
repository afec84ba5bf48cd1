#include "passport_feed.h"

#include "digest.h"

#include <pthread.h>

namespace fleet {

namespace {

// Entries per batch, and batches read ahead of the store: enough to keep
// both threads busy, few enough that memory does not grow with the passport.
const size_t kBatchEntries = 512;
const size_t kBatchesAhead = 4;
// Sizes are kept as signed 64-bit numbers, the widest both engines have.
const unsigned long long kMaxSize = 9223372036854775807ULL;

} // namespace

PassportFeed::PassportFeed(passport::SesReader& reader) : m_reader(reader), m_thread([this] { read_all(); }) {}

PassportFeed::~PassportFeed() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

bool PassportFeed::fill(std::vector<FeedEntry>& batch) {
    batch.resize(kBatchEntries);
    size_t n = 0;
    while (n < kBatchEntries) {
        FeedEntry& f = batch[n];
        passport::Entry& e = f.entry;
        if (!m_reader.next(e)) break;
        if (e.sizeValue > kMaxSize)
            throw passport::DocumentError(m_reader.name(), e.line, "the size " + e.size + " is larger than any file can be");
        if (e.folder != m_lastFolder || m_folderDigest.empty()) {
            m_folderDigest = digest_of({&e.folder});
            m_lastFolder = e.folder;
        }
        f.folderDigest = m_folderDigest;
        f.nameDigest = digest_of({&e.name});
        f.foldedDigest = folded_digest(e.name);
        f.ordinal = e.replaced() ? std::to_string(m_repeats[e.key]++) : "0";
        f.digest = digest_of({&e.checksum, &e.size, &e.type, &e.description, &e.fileVersion, &e.company, &e.product,
                              &e.productVersion});
        ++n;
    }
    batch.resize(n);
    return n == kBatchEntries;
}

void PassportFeed::read_all() {
    // Told apart from the store's thread in a profile.
    pthread_setname_np(pthread_self(), "vrfleet-read");
    std::vector<FeedEntry> batch;
    try {
        for (bool more = true; more;) {
            more = fill(batch);
            std::unique_lock<std::mutex> hold(m_lock);
            m_changed.wait(hold, [&] { return m_stop || m_ready.size() < kBatchesAhead; });
            if (m_stop) return;
            if (!batch.empty()) m_ready.push_back(std::move(batch));
            batch.clear();
            if (!m_spare.empty()) {
                batch = std::move(m_spare.back());
                m_spare.pop_back();
            }
            if (!more) m_finished = true;
            m_changed.notify_all();
        }
    } catch (...) {
        // Handed to the store's thread, which rolls the import back.
        std::lock_guard<std::mutex> hold(m_lock);
        m_error = std::current_exception();
        m_finished = true;
        m_changed.notify_all();
    }
}

bool PassportFeed::next(std::vector<FeedEntry>& batch) {
    std::unique_lock<std::mutex> hold(m_lock);
    if (!batch.empty()) m_spare.push_back(std::move(batch));
    batch.clear();
    m_changed.wait(hold, [&] { return !m_ready.empty() || m_finished; });
    if (m_ready.empty()) {
        if (m_error) std::rethrow_exception(m_error);
        return false;
    }
    batch = std::move(m_ready.front());
    m_ready.pop_front();
    m_changed.notify_all();
    return true;
}

} // namespace fleet
