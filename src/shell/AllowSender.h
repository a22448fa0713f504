#pragma once

#include <functional>
#include <string>

#include "history/HistoryRow.h"

namespace quillbox {

// "Allow this sender…" without a window: the line proposed for a history row, its check, and
// where it goes. Thread-safe (each call works on its own files).

// The allow-list line for a row's sender: its host's domain or name (SenderDomain) when the
// paranoid check passed, as only such a name can be vouched for; otherwise its address. "" when
// the row has neither (nothing was judged).
std::string ProposedAllowLine(const THistoryRow& row);

// Why line cannot be added to an allow list, "" when it can: what the allow list itself would
// say of it, or that it is empty, holds a line break or is a comment.
std::string AllowLineProblem(const std::string& line);

// Appends line to the allow list in use (allowPath) when that one may be written, otherwise to
// S25R_Allow.txt in the INI file's folder (made when missing), which is looked in before the
// installed examples. writable says whether a file may be written (access(2) by default).
// Returns the file written. Throws EFileError.
bool IsWritableFile(const std::string& fileName);
std::string AppendAllowLine(
    const std::string& line, const std::string& allowPath, const std::string& iniFileName,
    const std::function<bool(const std::string&)>& writable = IsWritableFile);

}  // namespace quillbox
