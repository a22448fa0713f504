#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "history/HistoryRow.h"
#include "judge/Verdict.h"

namespace quillbox {

// The value of the header's first field called name (any letter case), unfolded and trimmed, as
// it stands; "" when there is none. header: the lines as they came, folded.
std::string HeaderField(const std::vector<std::string>& header, std::string_view name);

// The history's row of a message delivered to the client: the account the login named, the
// request ("RETR 3", "TOP 3 10") its command and number, the header's Message-ID, Date, From and
// Subject as they stand (the history decodes them) and the verdict; Size is left to the caller.
THistoryRow HistoryRowOf(const std::string& account, const std::string& request,
                         const std::vector<std::string>& header, const TVerdict& verdict);

}  // namespace quillbox
