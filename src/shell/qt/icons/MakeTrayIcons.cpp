// Draws the five tray images: 0 the idle envelope, 1 to 4 a stamped envelope in four quarter
// turns, so that showing 1, 2, 3, 4, 1, ... makes the letter spin. Run by the `tray_icons`
// target, which writes the PNGs that the resource file embeds.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QTransform>
#include <cstdio>
#include <functional>

namespace {

constexpr int kSize = 16;

// An envelope body 14 x 10 pixels large, centred a little high, outlined in `ink`.
QImage Envelope(QColor ink, QColor paper, const std::function<void(QPainter&)>& details) {
  QImage image(kSize, kSize, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setPen(ink);
  p.setBrush(paper);
  p.drawRect(1, 3, 13, 9);
  details(p);
  return image;
}

// The back of a sealed envelope, in quiet greys: nothing is moving.
QImage IdleEnvelope() {
  return Envelope(QColor(0x55, 0x5d, 0x66), QColor(0xe4, 0xe8, 0xec), [](QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing);
    p.drawLine(QPointF(1.5, 3.5), QPointF(8, 8.5));
    p.drawLine(QPointF(14.5, 3.5), QPointF(8, 8.5));
  });
}

// The front of an envelope with a red stamp and two address lines, in travelling colours.
QImage StampedEnvelope() {
  const QColor ink(0x1f, 0x4e, 0x8c);
  return Envelope(ink, QColor(0xff, 0xfb, 0xe8), [&](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xd2, 0x2b, 0x2b));
    p.drawRect(10, 5, 3, 3);
    p.setBrush(ink);
    p.drawRect(3, 8, 6, 1);
    p.drawRect(3, 10, 4, 1);
  });
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
