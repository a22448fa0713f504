#include "proxy/HistoryRecord.h"

#include <strings.h>

#include <cstdlib>

namespace quillbox {

std::string HeaderField(const std::vector<std::string>& header, std::string_view name) {
  for (size_t i = 0; i < header.size(); ++i) {
    const std::string& line = header[i];
    if (line.size() <= name.size() || line[name.size()] != ':' ||
        strncasecmp(line.data(), name.data(), name.size()) != 0)
      continue;
    std::string value = line.substr(name.size() + 1);
    for (size_t next = i + 1; next < header.size() && !header[next].empty() &&
                              (header[next][0] == ' ' || header[next][0] == '\t');
         ++next)
      value += header[next];
    const size_t first = value.find_first_not_of(" \t");
    const size_t last = value.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : value.substr(first, last - first + 1);
  }
  return "";
}

THistoryRow HistoryRowOf(const std::string& account, const std::string& request,
                         const std::vector<std::string>& header, const TVerdict& verdict) {
  THistoryRow row;
  row.Account = account;
  const size_t blank = request.find(' ');
  row.Command = request.substr(0, blank);
  if (blank != std::string::npos)
    row.Number = std::atoll(request.c_str() + blank + 1);
  row.MessageId = HeaderField(header, "Message-ID");
  row.Date = HeaderField(header, "Date");
  row.From = HeaderField(header, "From");
  row.Subject = HeaderField(header, "Subject");
  row.Address = verdict.Address;
  row.HostName = verdict.HostName;
  row.LookedUpAddress = verdict.LookupedAddress;
  row.Status = StatusText(verdict);
  row.Rule = verdict.Rule;
  row.Confirmed = verdict.ForwardConfirmed;
  if (verdict.AllowedBy) {
    row.AllowList = verdict.AllowedBy->List;
    row.AllowLine = verdict.AllowedBy->Line;
    row.AllowEntry = verdict.AllowedBy->Entry;
    row.ReplacedStatus = StatusText(verdict.AllowedBy->Status, verdict.AllowedBy->Rule);
  }
  row.Cached = verdict.Cached;
  return row;
}

}  // namespace quillbox
