#pragma once
// The report of P_Update_check: a package inspection as text for a person, in Chinese,
// or as one JSON document for a package author's build pipeline.

#include "package_inspection.h"

#include <string>

namespace pupdate {

std::string checkReportText(const PackageInspection& inspection);
std::string checkReportJson(const PackageInspection& inspection);

// Writes `text` as a JSON string, quotes included: quote, backslash and control characters
// escaped; bytes that are not UTF-8 become U+FFFD, so the document always parses.
void appendJsonString(std::string& out, std::string_view text);

} // namespace pupdate
