#pragma once

#include <optional>
#include <string>
#include <vector>

#include "proxy/MessageSource.h"

namespace quillbox {

// The [S25R] lines proposed for a rule file from sample messages, and what they select.
struct TSuggestion {
  struct TSample {
    std::string Source;
    std::optional<size_t> Line;  // the Received: line (index among them) the hop walk chose
    std::string Received;        // that line, unfolded
    std::string Address;         // the sender's address in it
  };
  std::string MatchString;  // empty: nothing to propose, Problems say why
  std::vector<std::string> Problems;
  std::vector<TSample> Samples;
};

// Proposes SelectFrom=Top and a MatchString that select, in each sample, the line in which the
// provider's incoming server recorded the host it received the message from. Walking down from
// the top, a line is one of the provider's own hops when its sending host is loopback or
// private, or its name is in the domain of a server that received a line above it or this one
// (the domains of the topmost lines' receivers, which every sample must share); the first line
// with any other sender is chosen. The match string is built from the forms those lines take
// (the address in brackets as most servers write it, in parentheses as others do) and their
// receivers' names, is narrowed until the proxy's own selection (SelectReceived and
// SenderAddress) gives each sample's chosen address, and is not proposed when no string does:
// then Problems say which samples disagree, or have no outside hop.
TSuggestion SuggestRules(const std::vector<TInputMessage>& samples);

// The proposal as lines to print: the [S25R] lines to paste, then for each sample the line it
// selects; or the problems.
std::vector<std::string> SuggestionText(const TSuggestion& suggestion);

}  // namespace quillbox
