#pragma once

#include <QWidget>

class QLabel;

namespace quillbox {

// The start-up picture: a borderless window on top of all others, centred on the screen, with
// the busy cursor, sized to its picture. A picture that cannot be read leaves an empty window
// of the designed size. Not thread-safe: a widget.
class TFormSplash : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kDesignedWidth = 202;
  static constexpr int kDesignedHeight = 50;

  explicit TFormSplash(const QString& picturePath);

  // Shows the window and paints it at once, before the caller blocks the event loop.
  void ShowAndPaint();

 private:
  QLabel* ImageSplash;
};

}  // namespace quillbox
