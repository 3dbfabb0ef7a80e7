// Build-time tool: draws the program's own icon artwork (an XPM image of resources/) as a PNG of
// the size an icon theme asks for. Enlargement repeats whole pixels, so that the 16-colour
// artwork stays as crisp as it was drawn rather than blurred.
//
//   corvane_icon_png SOURCE.xpm SIZE OUTPUT.png
#include <QImage>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s SOURCE.xpm SIZE OUTPUT.png\n", argv[0]);
    return 2;
  }
  QImage artwork(QString::fromLocal8Bit(argv[1]), "XPM");
  int size = std::atoi(argv[2]);
  if (artwork.isNull() || size <= 0 || size % artwork.width() != 0) {
    std::fprintf(stderr, "%s: cannot draw %s at %s pixels\n", argv[0], argv[1], argv[2]);
    return 1;
  }
  QImage icon = artwork.convertToFormat(QImage::Format_ARGB32)
                    .scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
  if (!icon.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[3]);
    return 1;
  }
  return 0;
}
