// Draws the five tray images: 0 the idle envelope, 1 to 4 a stamped envelope in four quarter
// turns, so that showing 1, 2, 3, 4, 1, ... makes the letter spin. Run by the `tray_icons`
// target, which writes the PNGs that the resource file embeds.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QTransform>
#include <cstdio>

namespace {

constexpr int kSize = 16;

QImage Blank() {
  QImage image(kSize, kSize, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  return image;
}

// The back of a sealed envelope, in quiet greys: nothing is moving.
QImage IdleEnvelope() {
  QImage image = Blank();
  QPainter p(&image);
  p.setPen(QColor(0x55, 0x5d, 0x66));
  p.setBrush(QColor(0xe4, 0xe8, 0xec));
  p.drawRect(1, 3, 13, 9);
  p.setRenderHint(QPainter::Antialiasing);
  p.drawLine(QPointF(1.5, 3.5), QPointF(8, 8.5));
  p.drawLine(QPointF(14.5, 3.5), QPointF(8, 8.5));
  return image;
}

// The front of an envelope with a red stamp and two address lines, in travelling colours.
QImage StampedEnvelope() {
  QImage image = Blank();
  QPainter p(&image);
  p.setPen(QColor(0x1f, 0x4e, 0x8c));
  p.setBrush(QColor(0xff, 0xfb, 0xe8));
  p.drawRect(1, 3, 13, 9);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xd2, 0x2b, 0x2b));
  p.drawRect(10, 5, 3, 3);
  p.setBrush(QColor(0x1f, 0x4e, 0x8c));
  p.drawRect(3, 8, 6, 1);
  p.drawRect(3, 10, 4, 1);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);
  bool ok = IdleEnvelope().save(folder + "/0.png");
  const QImage stamped = StampedEnvelope();
  for (int turn = 0; turn < 4; ++turn) {
    const QImage frame = stamped.transformed(QTransform().rotate(90.0 * turn));
    ok = frame.save(QString("%1/%2.png").arg(folder).arg(turn + 1)) && ok;
  }
  return ok ? 0 : 1;
}
