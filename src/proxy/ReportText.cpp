// The report's two forms, for a person and for scripts, and the summary of many.
#include <cstdio>

#include "base/SysUtils.h"

#include "proxy/SenderReport.h"

namespace quillbox {
namespace {

std::string Shortened(std::string line, size_t width) {
  if (width > 3 && line.size() > width)
    line = line.substr(0, width - 3) + "...";
  return line;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items)
    text += (text.empty() ? "" : ", ") + item;
  return text;
}

std::string ZoneText(const TZoneAnswer& answer) {
  switch (answer.Kind) {
    case TZoneAnswer::TKind::kListed:
      return answer.Zone + " lists it (" + answer.Address + ")";
    case TZoneAnswer::TKind::kNotListed:
      return answer.Zone + " does not list it";
    case TZoneAnswer::TKind::kError:
      return answer.Zone + " answered an error (" + answer.Address + ")";
    case TZoneAnswer::TKind::kNoAnswer:
      break;
  }
  return answer.Zone + " did not answer";
}

// "passed", "failed" or "" when the forward lookup gave no address to compare with.
std::string Paranoid(const TSenderReport& report) {
  if (!report.Lookup || report.Lookup->Forward.empty())
    return "";
  return report.Lookup->Judged.Verdict.ForwardConfirmed ? "passed" : "failed";
}

void LookupLines(const TSenderReport& report, std::vector<std::string>& out) {
  const TVerdict& judged = report.Lookup->Judged.Verdict;
  out.push_back("Reverse lookup: " +
                (judged.HostName.empty() ? std::string("no host name") : judged.HostName));
  if (!judged.HostName.empty()) {
    out.push_back("Forward lookup: " + (report.Lookup->Forward.empty()
                                            ? std::string("no address")
                                            : Joined(report.Lookup->Forward)));
  }
  for (const TZoneAnswer& answer : report.Lookup->Judged.Zones)
    out.push_back("Allow zone: " + ZoneText(answer));
  if (const std::string paranoid = Paranoid(report); !paranoid.empty())
    out.push_back("Paranoid check: " + paranoid);
  const int rule = judged.Rule;
  out.push_back("Rule: " + (rule > 0 ? std::to_string(rule) + " " + report.RuleText
                                     : std::string("none matched")));
  if (report.Verdict.AllowedBy)
    out.push_back(AllowedLine(*report.Verdict.AllowedBy).substr(8));
  out.push_back("Lookups took " + std::to_string(report.Lookup->Took.count()) + " ms");
}

// JSON text of bytes that may not be UTF-8: a byte that begins no valid sequence stands for
// the Latin-1 character of its value.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    for (size_t k = 1; k < length; ++k) {
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) >> 6) != 2)
        length = 0;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f || length == 0) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.append(text, i, length);
      i += length - 1;
    }
  }
  return out + "\"";
}

std::string JsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (const std::string& item : items)
    out += (out.size() > 1 ? "," : "") + JsonString(item);
  return out + "]";
}

std::string JsonLookup(const TSenderReport& report) {
  if (!report.Lookup)
    return "\"reverse\":null,\"forward\":null,\"zones\":[],\"paranoid\":null,\"lookup_ms\":null";
  const TVerdict& judged = report.Lookup->Judged.Verdict;
  std::string zones = "[";
  for (const TZoneAnswer& answer : report.Lookup->Judged.Zones)
    zones += (zones.size() > 1 ? "," : "") + std::string("{\"zone\":") + JsonString(answer.Zone) +
             ",\"answer\":" + JsonString(ZoneText(answer)) + "}";
  const std::string paranoid = Paranoid(report);
  return "\"reverse\":" + (judged.HostName.empty() ? "null" : JsonString(judged.HostName)) +
         ",\"forward\":" + JsonArray(report.Lookup->Forward) + ",\"zones\":" + zones +
         "],\"paranoid\":" + (paranoid.empty() ? "null" : JsonString(paranoid)) +
         ",\"lookup_ms\":" + std::to_string(report.Lookup->Took.count());
}

}  // namespace

std::vector<std::string> ReportText(const TSenderReport& report, size_t width) {
  std::vector<std::string> out;
  if (!report.Source.empty())
    out.push_back("== " + report.Source);
  if (!report.Received.empty() || report.Selected) {
    out.push_back(std::string("Received: lines, walked from the ") +
                  (report.From == TSelectFrom::kTop ? "top" : "bottom") + ":");
  }
  for (size_t i = 0; i < report.Received.size(); ++i) {
    const std::string mark = report.Selected == i ? " > " : "   ";
    std::string number = std::to_string(i + 1);
    number.insert(0, number.size() < 3 ? 3 - number.size() : 0, ' ');
    out.push_back(Shortened(mark + number + " " + report.Received[i], width));
  }
  if (report.Selected) {
    out.push_back("Selected: line " + std::to_string(*report.Selected + 1) + ", matching \"" +
                  report.Matched + "\"");
  }
  if (!report.Address.empty())
    out.push_back("Sender address: " + report.Address);
  if (report.Lookup)
    LookupLines(report, out);
  for (const std::string& line : report.Annotation)
    out.push_back("  " + line);
  // The host name and the allow entry have their lines above; anything else the judgment logged
  // (a rule the matcher gave up on, a zone's error) is shown as the proxy logs it.
  for (const std::string& line : report.Log) {
    if (!StartsText("   P    Sender's hostname:", line) && !StartsText("   P    Allowed by", line))
      out.push_back("Log: " + line.substr(StartsText("   P    ", line) ? 8 : 0));
  }
  for (const TReportWarning& warning : report.Warnings) {
    out.push_back(Shortened("Warning: " + warning.Text, width));
    if (warning.Kind == TWarningKind::kNothingSelected) {
      for (const size_t line : warning.Lines)
        out.push_back(
            Shortened("  " + std::to_string(line + 1) + " " + report.Received[line], width));
    }
  }
  return out;
}

std::string ReportJson(const TSenderReport& report) {
  std::string warnings = "[";
  for (const TReportWarning& warning : report.Warnings) {
    std::string lines = "[";
    for (const size_t line : warning.Lines)
      lines += (lines.size() > 1 ? "," : "") + std::to_string(line + 1);
    warnings += (warnings.size() > 1 ? "," : "") + std::string("{\"kind\":") +
                JsonString(WarningKindName(warning.Kind)) +
                ",\"text\":" + JsonString(warning.Text) + ",\"lines\":" + lines + "]}";
  }
  const bool judged = report.Lookup || report.Address.empty();
  std::string allowed = "null";
  if (const auto& by = report.Verdict.AllowedBy) {
    allowed = "{\"list\":" + JsonString(by->List) + ",\"line\":" + std::to_string(by->Line) +
              ",\"entry\":" + JsonString(by->Entry) +
              ",\"would_be\":" + JsonString(StatusText(by->Status, by->Rule)) + "}";
  }
  const int rule = report.Lookup ? report.Lookup->Judged.Verdict.Rule : 0;
  return "{\"source\":" + JsonString(report.Source) +
         ",\"received\":" + JsonArray(report.Received) +
         ",\"select_from\":" + JsonString(report.From == TSelectFrom::kTop ? "Top" : "Bottom") +
         ",\"selected\":" + (report.Selected ? std::to_string(*report.Selected + 1) : "null") +
         ",\"matched\":" + (report.Selected ? JsonString(report.Matched) : "null") +
         ",\"address\":" + (report.Address.empty() ? "null" : JsonString(report.Address)) + "," +
         JsonLookup(report) +
         ",\"status\":" + (judged ? JsonString(StatusText(report.Verdict)) : "null") +
         ",\"rule\":" + (rule > 0 ? std::to_string(rule) : "null") +
         ",\"rule_text\":" + (rule > 0 ? JsonString(report.RuleText) : "null") +
         ",\"allowed_by\":" + allowed + ",\"annotation\":" + JsonArray(report.Annotation) +
         ",\"warnings\":" + warnings + "]}";
}

void TReportSummary::Add(const TSenderReport& report) {
  ++messages_;
  if (report.Lookup || report.Address.empty())
    ++statuses_[StatusText(report.Verdict)];
  else
    ++statuses_["not looked up"];
  if (report.Lookup && report.Lookup->Judged.Verdict.Rule > 0) {
    ++rules_[std::to_string(report.Lookup->Judged.Verdict.Rule) + " " + report.RuleText];
  }
  if (const auto& by = report.Verdict.AllowedBy)
    ++allowed_[AllowedLine(*by).substr(19)];
  for (const TReportWarning& warning : report.Warnings)
    ++warnings_[WarningKindName(warning.Kind)];
}

std::vector<std::string> TReportSummary::Lines() const {
  std::vector<std::string> out = {"Summary of " + std::to_string(messages_) + " messages"};
  const auto section = [&out](const char* title, const std::map<std::string, size_t>& counts) {
    if (counts.empty())
      return;
    out.push_back(title);
    for (const auto& [what, count] : counts)
      out.push_back("  " + std::to_string(count) + "  " + what);
  };
  section("Status:", statuses_);
  section("Rule (as judged, before any allow list):", rules_);
  section("Allowed by:", allowed_);
  section("Warnings:", warnings_);
  return out;
}

}  // namespace quillbox
