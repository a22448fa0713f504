#include "shell/qt/Splash.h"

#include <QApplication>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QVBoxLayout>

namespace quillbox {

TFormSplash::TFormSplash(const QString& picturePath)
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      ImageSplash(new QLabel) {
  setObjectName("FormSplash");
  setCursor(Qt::BusyCursor);
  ImageSplash->setAlignment(Qt::AlignCenter);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(ImageSplash);
  QSize size(kDesignedWidth, kDesignedHeight);
  const QPixmap picture(picturePath);
  if (!picture.isNull()) {
    ImageSplash->setPixmap(picture);
    size = picture.size();
  }
  setFixedSize(size);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->geometry().center() - rect().center());
}

void TFormSplash::ShowAndPaint() {
  show();
  repaint();
  QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace quillbox
