#include "shell/qt/FontDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFontDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

namespace quillbox {

namespace {

struct NamedColor {
  const char* Name;
  QRgb Rgb;
};

constexpr NamedColor kColors[] = {
    {"Black", 0x000000},  {"Maroon", 0x800000},  {"Green", 0x008000}, {"Olive", 0x808000},
    {"Navy", 0x000080},   {"Purple", 0x800080},  {"Teal", 0x008080},  {"Gray", 0x808080},
    {"Silver", 0xc0c0c0}, {"Red", 0xff0000},     {"Lime", 0x00ff00},  {"Yellow", 0xffff00},
    {"Blue", 0x0000ff},   {"Fuchsia", 0xff00ff}, {"Aqua", 0x00ffff},  {"White", 0xffffff},
};

QIcon Swatch(QColor color) {
  QPixmap pixmap(24, 12);
  pixmap.fill(color);
  return QIcon(pixmap);
}

}  // namespace

TFontDialog::TFontDialog(const TFontChoice& current, QWidget* parent)
    : QDialog(parent), fonts_(new QFontDialog(current.Font)), colors_(new QComboBox) {
  setWindowTitle("Font");
  // The stock font dialog has no colour, so it is embedded as a plain widget next to one.
  fonts_->setWindowFlags(Qt::Widget);
  fonts_->setOptions(QFontDialog::NoButtons);

  for (const NamedColor& named : kColors)
    colors_->addItem(Swatch(QColor(named.Rgb)), named.Name, QColor(named.Rgb));
  const int index = colors_->findData(current.Color);
  if (index < 0)
    colors_->addItem(Swatch(current.Color), current.Color.name(), current.Color);
  colors_->setCurrentIndex(index < 0 ? colors_->count() - 1 : index);

  auto* colorRow = new QHBoxLayout;
  auto* colorLabel = new QLabel("&Color:");
  colorLabel->setBuddy(colors_);
  colorRow->addWidget(colorLabel);
  colorRow->addWidget(colors_);
  colorRow->addStretch();

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(fonts_);
  layout->addLayout(colorRow);
  layout->addWidget(buttons);
}

TFontChoice TFontDialog::Choice() const {
  return {fonts_->currentFont(), colors_->currentData().value<QColor>()};
}

}  // namespace quillbox
