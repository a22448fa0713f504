#pragma once

// How the verdict goes into a message on its way to the client: four lines of Quillbox's where
// the header ends, and every field of Quillbox's names that the message brought renamed.

#include <optional>
#include <string>
#include <vector>

#include "judge/Verdict.h"

namespace quillbox {

// The four lines Quillbox adds, in their order.
std::vector<std::string> AnnotationLines(const TVerdict& verdict);

// One message on its way to the client: its header is collected until its end, then delivered
// with forged names renamed and the four lines in place; every later line is delivered as it
// came, but renamed while no empty line has passed (some readers take everything up to the first
// empty line for the header). Not thread-safe; one per message.
class TMessageAnnotation {
 public:
  // Takes the message's next line while the header lasts. The first line that is no header line
  // ends the header; it is kept, and false says that the header is complete.
  bool CollectHeader(std::string line);
  // The header lines collected, without the line that ended the header.
  const std::vector<std::string>& Header() const { return header_; }

  // Appends to out the header with the four added lines, and the line that ended the header.
  // The added lines go where the header ends, moved up over any continuation lines that stand
  // there, so that they neither split a folded field nor become one's continuation.
  void DeliverHeader(const std::vector<std::string>& added, std::vector<std::string>& out);
  // A line after those, as it is delivered.
  void DeliverLine(std::string& line);
  // Whether DeliverLine still renames: no empty line has passed.
  bool BeforeEmptyLine() const { return beforeEmptyLine_; }

  // For a header too long to hold whole, whose collection stopped before its end: appends the
  // four lines, then the header lines collected. The added lines go first because where the
  // header ends is not known; every field of Quillbox's names that follows is renamed by
  // DeliverLine, or by whatever passes on the rest, before the first empty line.
  void DeliverUnendedHeader(const std::vector<std::string>& added, std::vector<std::string>& out);

 private:
  std::vector<std::string> header_;
  std::optional<std::string> end_;  // the line that ended the header
  bool beforeEmptyLine_ = true;
};

// A whole message as delivered with the added lines.
std::vector<std::string> AnnotateMessage(std::vector<std::string> message,
                                         const std::vector<std::string>& added);

}  // namespace quillbox
