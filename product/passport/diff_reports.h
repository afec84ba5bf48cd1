#pragma once
// The three forms of a diff: text for people at a console, JSON for
// programs, one HTML page for a browser. Each writes as the merge goes.
#include "passport_diff.h"

#include <memory>
#include <ostream>
#include <string>

namespace passport {

std::unique_ptr<DiffSink> text_report(std::ostream& out);
std::unique_ptr<DiffSink> json_report(std::ostream& out);
// A self-contained page at path, moved into place only when whole.
std::unique_ptr<DiffSink> html_report(const std::string& path);

} // namespace passport
