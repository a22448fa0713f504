#pragma once

#include <QStringList>
#include <deque>

#include "shell/qt/DesktopDialogs.h"

namespace quillbox {

// Records every message instead of showing it, and answers the questions from scripts.
class FakeDialogs : public TDesktopDialogs {
 public:
  void ShowError(QWidget*, const QString& text) override { Shown << "error: " + text; }
  void ShowWarning(QWidget*, const QString& text) override { Shown << "warning: " + text; }
  void ShowInformation(QWidget*, const QString& text) override { Shown << "information: " + text; }
  std::optional<QString> AskSaveFileName(QWidget*, const QString& directory) override {
    AskedDirectories << directory;
    return Take(FileNames);
  }
  std::optional<TFontChoice> AskFont(QWidget*, const TFontChoice& current) override {
    OfferedFonts.push_back(current);
    return Take(Fonts);
  }

  QStringList Shown;
  QStringList AskedDirectories;
  std::vector<TFontChoice> OfferedFonts;
  std::deque<std::optional<QString>> FileNames;
  std::deque<std::optional<TFontChoice>> Fonts;

 private:
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
