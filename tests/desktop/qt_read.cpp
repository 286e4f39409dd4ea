// Reads an image as a Qt program does, through the image plug-ins: from a
// file, or from standard input in memory ("-"). Prints the format, the size
// the reader gives before reading, the image's size and whether it came as
// RGBA8888, then its RGBA pixels; status 1 where the reader says it could
// not read it.
#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QImageReader>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QFile input;
    QBuffer memory;
    QImageReader reader;
    if (argc == 2 && QByteArray(argv[1]) == "-") {
        input.open(stdin, QIODevice::ReadOnly);
        memory.setData(input.readAll());
        memory.open(QIODevice::ReadOnly);
        reader.setDevice(&memory);
    } else if (argc == 2) {
        reader.setFileName(QFile::decodeName(argv[1]));
    }
    const QSize size = reader.size();
    const QByteArray format = reader.format();
    QImage image;
    const bool read = reader.read(&image);
    std::printf("%s %dx%d %dx%d %d\n", format.constData(), size.width(), size.height(), image.width(), image.height(),
                image.format() == QImage::Format_RGBA8888);
    for (int y = 0; y < image.height(); ++y) {
        std::fwrite(image.constScanLine(y), 4, static_cast<std::size_t>(image.width()), stdout);
    }
    return read ? 0 : 1;
}
