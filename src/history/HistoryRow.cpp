#include "history/HistoryRow.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <vector>

namespace quillbox {

std::string LocalTimeText(int64_t time, const char* format) {
  const time_t t = static_cast<time_t>(time);
  std::tm local{};
  localtime_r(&t, &local);
  char text[64];
  return std::string(text, std::strftime(text, sizeof text, format, &local));
}

std::string StatusKind(std::string_view status) {
  if (status.starts_with(kAnyRule))
    return std::string(kAnyRule);
  return std::string(status);
}

namespace {

// Under a two-letter country domain, a short second label is usually the registry's own
// (co.jp, ne.jp, com.au, org.uk): the domain a sender owns is one label further in.
bool RegistrySuffix(const std::vector<std::string_view>& labels) {
  if (labels.size() < 2)
    return true;
  const std::string_view top = labels.back(), second = labels[labels.size() - 2];
  return labels.size() == 2 && top.size() == 2 && second.size() <= 3;
}

}  // namespace

std::string SenderDomain(std::string_view hostName) {
  std::string name(hostName);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  while (!name.empty() && name.back() == '.')
    name.pop_back();
  std::vector<std::string_view> labels;
  for (size_t from = 0; from <= name.size();) {
    const size_t dot = std::min(name.find('.', from), name.size());
    labels.push_back(std::string_view(name).substr(from, dot - from));
    from = dot + 1;
  }
  if (name.empty() || labels.size() < 3)
    return name;
  const std::vector<std::string_view> rest(labels.begin() + 1, labels.end());
  if (RegistrySuffix(rest))
    return name;
  return "." + name.substr(labels[0].size() + 1);
}

}  // namespace quillbox
