#pragma once

#include <string>

namespace quillbox {

// What a front end (the Qt desktop, the headless quillboxd) gives the toolkit-neutral main
// window core. All of it is called on the thread that runs start-up and shutdown (the desktop's
// UI thread); log lines from connection threads travel through TMemoQueue instead.

// The log text area.
class TextArea {
 public:
  virtual ~TextArea() = default;
  // Appends one line; the line holds no line break.
  virtual void AppendLine(const std::string& line) = 0;
};

// Modal message boxes with one OK button. They return once the user has confirmed.
class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  virtual void ShowError(const std::string& text) = 0;
  virtual void ShowInformation(const std::string& text) = 0;
  virtual void ShowWarning(const std::string& text) = 0;
};

}  // namespace quillbox
