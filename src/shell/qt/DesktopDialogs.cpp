#include "shell/qt/DesktopDialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

#include "shell/qt/FontDialog.h"

namespace quillbox {

namespace {

const char kTitle[] = "Quillbox";

// The name filters and the extension that each adds to a name given without one. The file
// dialog matches patterns without regard to case, so "*.txt" also lists "*.TXT".
struct SaveFilter {
  const char* Name;
  const char* Suffix;
};
constexpr SaveFilter kSaveFilters[] = {
    {"Text files (*.txt)", "TXT"},
    {"Log files (*.log)", "LOG"},
    {"All files (*.*)", "TXT"},
};

}  // namespace

const char* SaveFilterSuffix(const QString& filterName) {
  for (const SaveFilter& filter : kSaveFilters) {
    if (filterName == filter.Name)
      return filter.Suffix;
  }
  return nullptr;
}

void TQtDialogs::ShowError(const std::string& text) {
  QMessageBox::critical(parent_, kTitle, QString::fromStdString(text), QMessageBox::Ok);
}

void TQtDialogs::ShowInformation(const std::string& text) {
  QMessageBox::information(parent_, kTitle, QString::fromStdString(text), QMessageBox::Ok);
}

void TQtDialogs::ShowWarning(const std::string& text) {
  QMessageBox::warning(parent_, kTitle, QString::fromStdString(text), QMessageBox::Ok);
}

std::optional<QString> TQtDialogs::AskSaveFileName(const QString& directory) {
  QFileDialog dialog(parent_, "Save logged messages to a file");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  QStringList filters;
  for (const SaveFilter& filter : kSaveFilters)
    filters << filter.Name;
  dialog.setNameFilters(filters);
  dialog.selectNameFilter(filters.front());
  dialog.setDefaultSuffix(kSaveFilters[0].Suffix);
  QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& name) {
    if (const char* suffix = SaveFilterSuffix(name))
      dialog.setDefaultSuffix(suffix);
  });
  // A folder that does not exist here (the Windows default) leaves the dialog in the home
  // folder rather than in wherever the program was started.
  dialog.setDirectory(QDir(directory).exists() ? directory : QDir::homePath());
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
    return std::nullopt;
  return dialog.selectedFiles().front();
}

std::optional<TFontChoice> TQtDialogs::AskFont(const TFontChoice& current) {
  TFontDialog dialog(current, parent_);
  if (dialog.exec() != QDialog::Accepted)
    return std::nullopt;
  return dialog.Choice();
}

}  // namespace quillbox

namespace quillbox {

std::optional<QString> TQtDialogs::AskText(const QString& title, const QString& label,
                                           const QString& text) {
  bool accepted = false;
  const QString answer =
      QInputDialog::getText(parent_, title, label, QLineEdit::Normal, text, &accepted);
  if (!accepted)
    return std::nullopt;
  return answer;
}

}  // namespace quillbox
