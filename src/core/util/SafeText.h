#pragma once
// Texts made safe for where they are shown: a terminal, where control and
// direction-override characters from a partner's file name could steer the
// screen or reorder what a person reads, and a spreadsheet, which runs a cell
// that starts like a formula.
#include <string>
#include <string_view>

namespace kv {

// The UTF-8 text for a terminal: every C0 control (a tab and a line feed
// included), DEL, every C1 control (U+0080 to U+009F, CSI U+009B among them),
// the bidirectional embeddings, overrides and isolates (U+202A to U+202E,
// U+2066 to U+2069), and every byte that is not part of valid UTF-8 become
// '?'. Everything else is kept.
std::string TerminalText(std::string_view text);

// A CSV cell's text that a spreadsheet takes as text: one that starts with
// '=', '+', '-', '@', a tab or a carriage return gets a leading apostrophe,
// as the common CSV-injection guidance advises. Other texts are unchanged.
std::string SpreadsheetCell(std::string_view text);

} // namespace kv
