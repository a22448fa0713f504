#include "proxy/MessageAnnotation.h"

#include "proxy/HeaderSyntax.h"

namespace quillbox {

std::vector<std::string> AnnotationLines(const TVerdict& verdict) {
  const bool judged = verdict.Status != TSenderStatus::kUnknown;
  return {"X-Quillbox-Sender-IP-Address: " + (judged ? verdict.Address : "Unextracted"),
          "X-Quillbox-Sender-Hostname: " + (judged ? verdict.HostName : "Unresolved"),
          "X-Quillbox-Lookuped-IP-Address: " + (judged ? verdict.LookupedAddress : "Unresolved"),
          "X-Quillbox-Status: " + StatusText(verdict)};
}

bool TMessageAnnotation::CollectHeader(std::string line) {
  if (IsHeaderLine(line)) {
    header_.push_back(std::move(line));
    return true;
  }
  end_ = std::move(line);
  return false;
}

void TMessageAnnotation::DeliverHeader(const std::vector<std::string>& added,
                                       std::vector<std::string>& out) {
  size_t at = header_.size();
  const auto next = [&](size_t i) -> const std::string* {
    return i < header_.size() ? &header_[i] : (end_ ? &*end_ : nullptr);
  };
  while (at > 0 && next(at) != nullptr && IsContinuationLine(*next(at)))
    --at;
  for (size_t i = 0; i < header_.size(); ++i) {
    if (i == at)
      out.insert(out.end(), added.begin(), added.end());
    RenameForgedFields(header_[i]);
    out.push_back(std::move(header_[i]));
  }
  if (at == header_.size())
    out.insert(out.end(), added.begin(), added.end());
  header_.clear();
  if (end_) {
    DeliverLine(*end_);
    out.push_back(std::move(*end_));
    end_.reset();
  }
}

void TMessageAnnotation::DeliverUnendedHeader(const std::vector<std::string>& added,
                                              std::vector<std::string>& out) {
  out.insert(out.end(), added.begin(), added.end());
  for (std::string& line : header_) {
    RenameForgedFields(line);
    out.push_back(std::move(line));
  }
  header_.clear();
}

void TMessageAnnotation::DeliverLine(std::string& line) {
  if (!beforeEmptyLine_)
    return;
  // The line's first byte and its line end tell.
  if (EmptyLineAt(line.substr(0, 1) + "\r\n").value_or(false))
    beforeEmptyLine_ = false;
  else
    RenameForgedFields(line);
}

std::vector<std::string> AnnotateMessage(std::vector<std::string> message,
                                         const std::vector<std::string>& added) {
  TMessageAnnotation annotation;
  size_t next = 0;
  while (next < message.size() && annotation.CollectHeader(std::move(message[next++]))) {
  }
  std::vector<std::string> out;
  out.reserve(message.size() + added.size());
  annotation.DeliverHeader(added, out);
  for (; next < message.size(); ++next) {
    annotation.DeliverLine(message[next]);
    out.push_back(std::move(message[next]));
  }
  return out;
}

}  // namespace quillbox
