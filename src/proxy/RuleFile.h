#pragma once

#include <string>

#include "proxy/MyPOP3ServerContext.h"

namespace quillbox {

// Reads the user's rule file into the context: MaxLines (section QuillboxRules, default 20),
// DNSServer and MatchString (section S25R, default empty), and section Upstream (after
// UpstreamPort is known, since port 995 changes its default). Values are taken as they stand; a
// missing key or a file that is no INI file gives the defaults. A relative name is relative to
// the current directory, like the login's existence test.
void ReadRuleFile(const std::string& fileName, TMyPOP3ServerContext& context);

}  // namespace quillbox
