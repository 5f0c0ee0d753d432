// json_text.h - reading JSON text that someone else wrote.
//
// Every JSON the tool and its host layers read (areas files, the editor's
// request bodies, traces) goes through here, so that they all refuse the
// same things with messages of the same form:
//   SOURCE:LINE:COLUMN: JSON syntax error: ...   (where the text breaks)
//   SOURCE: $.areas[1].threshold: ...           (where the value sits)
// Besides syntax: a key repeated in one object (comment keys starting with
// "_" excepted), a number beyond double, and nesting deeper than
// kMaxJsonDepth (walking such a value recursively would exhaust the stack).
#ifndef TARVOCOIL_HOST_JSON_TEXT_H
#define TARVOCOIL_HOST_JSON_TEXT_H

#include <string>

#include <nlohmann/json.hpp>

namespace tarvotool {

// Arrays and objects within each other, the outermost one counting as 1.
// Real areas files need 5.
constexpr int kMaxJsonDepth = 64;

// Parses `text`; throws ToolError naming `source` (left out when empty).
nlohmann::json ParseJsonText(const std::string& text, const std::string& source);

}  // namespace tarvotool

#endif
