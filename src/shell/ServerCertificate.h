#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/IniFiles.h"
#include "net/IdSSLCertificate.h"

namespace quillbox {

// The certificate Quillbox shows mail clients that start TLS: the one section [TLS] of the INI
// file names, or one of Quillbox's own, made at the first start and kept beside the INI file.

inline constexpr const char* kTLSSection = "TLS";
// How long a certificate of Quillbox's own is valid (the longest that every client accepts), and
// how long before its end start-up makes a new one.
inline constexpr long kOwnCertificateDays = 825;
inline constexpr long kRenewDaysBefore = 30;

// Quillbox's own certificate could not be written; start-up may go on without TLS.
class ECertificateNotStored : public Exception {
 public:
  using Exception::Exception;
};

// The certificate in force and what start-up tells the user about it. A plain value.
struct TServerCertificate {
  std::shared_ptr<const TIdSSLServerContext> Context;
  std::string CertificateFile;
  std::string Fingerprint;         // SHA-256, colon-separated upper-case hex
  std::vector<std::string> Notes;  // what start-up made, or advises, for the log
};

// Reads CertificateFile and KeyFile of section [TLS] (PEM; a relative path is taken from the INI
// file's folder; without KeyFile the key is in the certificate file) and loads them. With
// neither set, loads Quillbox's own pair, the INI file's name with the extensions ".crt" and
// ".key" (mode 0600), and makes a new one when either is missing or the certificate is not
// valid for kRenewDaysBefore days more: self-signed, for localhost, 127.0.0.1, ::1 and hostName
// (when not empty). The configuration folder is made for it when it is the INI file's. The own
// pair is never read or written through a symbolic link. A key file that others may read or
// write adds a note that says so.
// Raises EIdCertificateError or EIniFileError when a certificate cannot serve (unreadable, not
// matching its key, expired, a symbolic link where the own pair belongs), ECertificateNotStored
// when the own pair cannot be written. Nothing is written in any of these cases but the last,
// which may leave a key without its certificate.
TServerCertificate PrepareServerCertificate(const std::string& iniFileName,
                                            const std::string& configFolder,
                                            const std::string& hostName, IniStorage& storage);

}  // namespace quillbox
