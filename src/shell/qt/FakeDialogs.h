#pragma once

#include <QStringList>
#include <deque>

#include "shell/qt/DesktopDialogs.h"

namespace quillbox {

// Records every message instead of showing it, and answers the questions from scripts.
class FakeDialogs : public TDesktopDialogs {
 public:
  void ShowError(const std::string& text) override { Record("error: ", text); }
  void ShowInformation(const std::string& text) override { Record("information: ", text); }
  void ShowWarning(const std::string& text) override { Record("warning: ", text); }
  std::optional<QString> AskSaveFileName(const QString& directory) override {
    AskedDirectories << directory;
    return Take(FileNames);
  }
  std::optional<TFontChoice> AskFont(const TFontChoice& current) override {
    OfferedFonts.push_back(current);
    return Take(Fonts);
  }

  std::optional<QString> AskText(const QString&, const QString& label,
                                 const QString& text) override {
    AskedTexts << label + "|" + text;
    return Take(Texts);
  }

  QStringList Shown;
  QStringList AskedTexts;
  std::deque<std::optional<QString>> Texts;
  QStringList AskedDirectories;
  std::vector<TFontChoice> OfferedFonts;
  std::deque<std::optional<QString>> FileNames;
  std::deque<std::optional<TFontChoice>> Fonts;

 private:
  void Record(const char* kind, const std::string& text) {
    Shown << kind + QString::fromStdString(text);
  }
  template <class T>
  static std::optional<T> Take(std::deque<std::optional<T>>& answers) {
    std::optional<T> answer;
    if (!answers.empty()) {
      answer.swap(answers.front());
      answers.pop_front();
    }
    return answer;
  }
};

}  // namespace quillbox
