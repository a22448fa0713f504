#include "shell/ServerCertificate.h"

#include <cstdio>
#include <ctime>

#include "base/Files.h"
#include "shell/IniLocation.h"
#include "shell/Quillbox_Startup.h"

namespace quillbox {

namespace {

// Certificate files are a few kilobytes, a long chain included.
constexpr size_t kMaxPemSize = 1024 * 1024;
constexpr long kDaySeconds = 86400;

std::string Existing(IniStorage& storage, const std::string& file, const char* what) {
  std::optional<std::string> text = storage.Load(file, kMaxPemSize);
  if (!text)
    throw EIdCertificateError(std::string("The TLS ") + what + " " + file + " does not exist.");
  return *text;
}

std::shared_ptr<const TIdSSLServerContext> Load(IniStorage& storage, const std::string& certFile,
                                                const std::string& keyFile) {
  const std::string certificate = Existing(storage, certFile, "certificate");
  const std::string key = keyFile == certFile ? certificate : Existing(storage, keyFile, "key");
  return std::make_shared<const TIdSSLServerContext>(certificate, certFile, key, keyFile);
}

std::string LocalDate(std::time_t time) {
  std::tm local{};
  localtime_r(&time, &local);
  return FormatDateTime(local);
}

// A certificate of our own that has ended, ends soon or has not begun (a clock set back) is
// replaced before clients refuse it.
bool NeedsRenewal(const x509_st* certificate) {
  try {
    CheckValidNow(certificate, "");
  } catch (const EIdCertificateError&) {
    return true;
  }
  return NotAfter(certificate) - std::time(nullptr) < kRenewDaysBefore * kDaySeconds;
}

// The own pair is only ever written as files of their own: written through a link, the new key
// would overwrite whatever file the link names.
void RefuseLink(IniStorage& storage, const std::string& file, const char* what) {
  if (storage.Status(file).SymbolicLink) {
    throw EIdCertificateError(std::string("The TLS ") + what + " " + file +
                              " is a symbolic link; the Quillbox keeps its own certificate and key "
                              "only as plain files.");
  }
}

// A key that others may read gives them the certificate's identity; it still serves as before,
// and the log says how to close it.
void WarnIfOpenToOthers(IniStorage& storage, const std::string& keyFile,
                        std::vector<std::string>& notes) {
  const unsigned mode = storage.Status(keyFile).Mode;
  if ((mode & 077) == 0)
    return;
  char octal[16];
  std::snprintf(octal, sizeof octal, "%04o", mode & 07777);
  notes.push_back("The TLS key " + keyFile + " is open to other users (mode " + octal +
                  "): chmod 600 " + keyFile);
}

// The key goes first: a crash between the two writes leaves a key without its certificate,
// which the next start replaces, never a certificate without its key.
void MakeOwn(IniStorage& storage, const std::string& iniFileName, const std::string& configFolder,
             const std::string& hostName, const std::string& certFile, const std::string& keyFile) {
  TIdCertificateRequest request;
  request.CommonName = hostName.empty() ? "localhost" : hostName;
  request.AltNames = "DNS:localhost,IP:127.0.0.1,IP:::1";
  if (!hostName.empty())
    request.AltNames += ",DNS:" + hostName;
  request.ValidToDays = kOwnCertificateDays;
  const TIdCertificate made = MakeCertificate(request);
  try {
    CreateIniFolder(iniFileName, configFolder, storage);
    storage.Save(keyFile, KeyPem(made.Key.get()), 0600);
    storage.Save(certFile, CertificatePem(made.Cert.get()), 0644);
  } catch (const EIniFileError& e) {
    throw ECertificateNotStored(e.Message());
  }
}

TServerCertificate OwnCertificate(const std::string& iniFileName, const std::string& configFolder,
                                  const std::string& hostName, IniStorage& storage) {
  TServerCertificate own;
  own.CertificateFile = ChangeFileExt(iniFileName, ".crt");
  const std::string keyFile = ChangeFileExt(iniFileName, ".key");
  const std::string pair = own.CertificateFile + " and " + keyFile;
  RefuseLink(storage, own.CertificateFile, "certificate");
  RefuseLink(storage, keyFile, "key");
  const bool present = storage.Load(own.CertificateFile, kMaxPemSize).has_value() &&
                       storage.Load(keyFile, kMaxPemSize).has_value();
  std::string made = "Made a TLS certificate for localhost, 127.0.0.1, ::1";
  made += hostName.empty() ? "" : " and " + hostName;
  if (present) {
    try {
      own.Context = Load(storage, own.CertificateFile, keyFile);
    } catch (const EIdCertificateError& e) {
      throw EIdCertificateError(e.Message() + "  Delete " + pair +
                                " to have the Quillbox make a new pair.");
    }
    if (NeedsRenewal(own.Context->Certificate())) {
      made += ", as the old one ends on " + LocalDate(NotAfter(own.Context->Certificate()));
      own.Context.reset();
    } else if (!hostName.empty() && !NamesHost(own.Context->Certificate(), hostName)) {
      own.Notes.push_back("The TLS certificate does not name this machine's host name " + hostName +
                          "; delete " + pair + " to have a new one made.");
    }
  }
  if (!own.Context) {
    MakeOwn(storage, iniFileName, configFolder, hostName, own.CertificateFile, keyFile);
    own.Context = Load(storage, own.CertificateFile, keyFile);
    own.Notes.push_back(made + ", valid until " + LocalDate(NotAfter(own.Context->Certificate())) +
                        ".");
  }
  return own;
}

}  // namespace

TServerCertificate PrepareServerCertificate(const std::string& iniFileName,
                                            const std::string& configFolder,
                                            const std::string& hostName, IniStorage& storage) {
  const TIniFile ini(iniFileName, storage);
  const std::string certFile = ini.ReadString(kTLSSection, "CertificateFile", "");
  const std::string keyFile = ini.ReadString(kTLSSection, "KeyFile", "");
  TServerCertificate certificate;
  std::string keyPath;
  if (certFile.empty() && keyFile.empty()) {
    certificate = OwnCertificate(iniFileName, configFolder, hostName, storage);
    keyPath = ChangeFileExt(iniFileName, ".key");
  } else if (certFile.empty()) {
    throw EIdCertificateError("KeyFile is set in section [TLS] of " + iniFileName +
                              ", CertificateFile is not.");
  } else {
    certificate.CertificateFile = PathFromFolderOf(iniFileName, certFile);
    keyPath =
        keyFile.empty() ? certificate.CertificateFile : PathFromFolderOf(iniFileName, keyFile);
    certificate.Context = Load(storage, certificate.CertificateFile, keyPath);
    CheckValidNow(certificate.Context->Certificate(), certificate.CertificateFile);
  }
  certificate.Fingerprint = Sha256Fingerprint(certificate.Context->Certificate());
  WarnIfOpenToOthers(storage, keyPath, certificate.Notes);
  return certificate;
}

}  // namespace quillbox
