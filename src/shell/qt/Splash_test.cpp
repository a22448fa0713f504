#include "shell/qt/Splash.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QTemporaryDir>

namespace quillbox {
namespace {

TEST(SplashTest, TakesThePictureSizeInTheMiddleOfTheScreen) {
  QTemporaryDir folder;
  const QString path = folder.filePath("quillbox.BMP");
  QImage picture(400, 120, QImage::Format_RGB32);
  picture.fill(Qt::darkBlue);
  ASSERT_TRUE(picture.save(path, "BMP"));
  TFormSplash splash(path);
  EXPECT_EQ(splash.size(), QSize(400, 120));
  EXPECT_EQ(splash.geometry().center(), QGuiApplication::primaryScreen()->geometry().center());
  EXPECT_TRUE(splash.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(splash.cursor().shape(), Qt::BusyCursor);
}

TEST(SplashTest, UnreadablePictureLeavesTheDesignedSize) {
  QTemporaryDir folder;
  const QString path = folder.filePath("quillbox.BMP");
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("BM not really a bitmap");
  file.close();
  EXPECT_EQ(TFormSplash(path).size(), QSize(202, 50));
}

}  // namespace
}  // namespace quillbox
