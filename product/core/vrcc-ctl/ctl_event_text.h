#pragma once
// How vrcc-ctl shows one journal record: like Event Viewer, with the event's
// name and its text from the event message file, the "%%N" inserts given
// their own texts; or raw, as the journal holds it.
#include "journal_format.h"

#include <string>

namespace vrccctl {

// The lines of one record, each ending in a line break.
std::wstring JournalRecordText(const vrcc::JournalRecord& record, bool raw);

} // namespace vrccctl
