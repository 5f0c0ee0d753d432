// csv.h - reading the CSV the tool reads back: truth files and traces.
#ifndef TARVOCOIL_TOOLS_EVIDENCE_CSV_H
#define TARVOCOIL_TOOLS_EVIDENCE_CSV_H

#include <string>
#include <vector>

namespace tarvotool {

// Without leading and trailing blanks and tabs.
std::string Trim(const std::string& s);

// Splits one CSV line into fields: quoted fields as written (with "" for a
// quote), others trimmed. False for an unterminated quote (the field may go
// on after a line break).
bool SplitCsv(const std::string& line, std::vector<std::string>& fields);

}  // namespace tarvotool

#endif
