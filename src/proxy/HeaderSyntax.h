#pragma once

// The syntax of a message's header, as mail readers take it: which lines belong to it, where it
// ends, how a folded field is unfolded, and which field names are Quillbox's own. The lines are
// the message's text (unstuffed, without their line ends). The header Quillbox holds and the body
// it relays as bytes both decide by these functions.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillbox {

// True for a line that a mail reader takes as part of a header: a field ("name:" with a name of
// printable characters) or a continuation line (beginning with a blank or a tab). Some readers
// also break lines at a lone carriage return, so a line holding one is a header line only when
// every piece between its carriage returns is one: a piece that is empty ends their header.
// The first line that is no header line ends the header: Quillbox's lines go in before it.
bool IsHeaderLine(std::string_view line);

// A line that begins with a blank or a tab continues the field before it.
bool IsContinuationLine(std::string_view line);

// Whether the bytes at a line's start, its text followed by its line end, are the empty line:
// some readers take everything before it for the header, so Quillbox's names are renamed up to
// there. Nothing when too few bytes are there to tell (a lone CR so far).
std::optional<bool> EmptyLineAt(std::string_view lineStart);

// Quillbox owns the field names that begin with kOwnFieldPrefix: wherever such a name begins a
// line (or a piece after a lone carriage return), kForgedMark goes in after its first
// kForgedMarkAt characters ("x-quillbox-status:" becomes "x-Forged-quillbox-status:"). Every
// other byte stays.
inline constexpr std::string_view kOwnFieldPrefix = "X-Quillbox-";  // in any letter case
inline constexpr std::string_view kForgedMark = "Forged-";
inline constexpr size_t kForgedMarkAt = 2;

// Whether the bytes at a piece's start begin a name of Quillbox's; nothing when too few bytes
// are there to tell.
std::optional<bool> OwnFieldAt(std::string_view pieceStart);

// Renames every name of Quillbox's in one line; true when something was renamed.
bool RenameForgedFields(std::string& line);

// Joins each continuation line to the line before it, trimmed and after one blank, so that every
// header field is one line. A first line that begins with a blank has nothing to join and stays
// as it is.
void UnfoldHeader(std::vector<std::string>& lines);

}  // namespace quillbox
