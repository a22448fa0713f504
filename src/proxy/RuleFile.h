#pragma once

#include <string>

#include "base/Exception.h"
#include "proxy/MyPOP3ServerContext.h"

namespace quillbox {

// A rule file the login refuses; the message is what the mail client gets after "-ERR".
class ERuleFileError : public Exception {
 public:
  using Exception::Exception;
};

// Reads the user's rule file, once and whole, into the context: MaxLines and AnnotateTop (section
// QuillboxRules, default 20 and 1), DNSServer, MatchString (default empty) and SelectFrom (default
// Bottom), AllowFile (read whole, relative to the rule file's folder) and AllowZones (up to
// kMaxAllowZones DNS zones, separated by commas) of section S25R, and section Upstream (after
// UpstreamPort is known, since port 995 changes its default). Values are taken as they stand; a
// missing key or a file that is no INI file gives the defaults. A relative name is relative to
// the current directory.
//
// Raises ERuleFileError when no file of that name exists, when it exists but cannot be read
// whole (no regular file, unreadable, larger than INI files may be: with the defaults every
// message would say Unknown, and nobody would see why), for a SelectFrom that is neither
// Bottom nor Top, for an AnnotateTop that is neither 1 nor 0, for an AllowFile that cannot be
// read whole or has a line that cannot be used (the message names the file, the line and why),
// and for an AllowZones that names anything but DNS zones.
inline constexpr size_t kMaxAllowZones = 8;
void ReadRuleFile(const std::string& fileName, TProxySession& context);

}  // namespace quillbox
