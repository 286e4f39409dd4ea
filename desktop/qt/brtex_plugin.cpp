// The Qt image plug-in of BRTEX textures, for Gwenview, Dolphin's previews
// and every program that reads images through QImageReader. Where the
// device is a file, an indexed texture takes the palette beside it; where
// it is not, its indexes show as grey.
#include <QFile>
#include <QImage>
#include <QImageIOHandler>
#include <QImageIOPlugin>
#include <QSize>
#include <QVariant>

#include <cstdlib>

#include <kestrune.h>

#include "texture_file.h"

namespace {

// The header's size, where a texture's facts are read from.
constexpr qint64 kPrefixSize = 65536;

bool LooksLikeTexture(QIODevice* device)
{
    return device != nullptr && device->peek(4) == "TEX0";
}

class BrtexHandler : public QImageIOHandler {
public:
    bool canRead() const override
    {
        if (!LooksLikeTexture(device())) {
            return false;
        }
        setFormat("brtex");
        return true;
    }

    bool read(QImage* image) override
    {
        // Only as much of the file as the texture's texels need.
        const QByteArray prefix = device()->peek(kPrefixSize);
        const qint64 size = device()->isSequential() ? -1 : device()->size();
        const QByteArray bytes = size >= 0 ? device()->read(static_cast<qint64>(kd_bytes_needed(
                                                 prefix.constData(), static_cast<size_t>(prefix.size()), size)))
                                           : device()->readAll();
        const auto* file = qobject_cast<QFile*>(device());
        const QByteArray path = file != nullptr ? QFile::encodeName(file->fileName()) : QByteArray();
        kd_image decoded;
        char message[4608];
        if (kd_decode(reinterpret_cast<const unsigned char*>(bytes.constData()), static_cast<size_t>(bytes.size()),
                      path.isEmpty() ? nullptr : path.constData(), KD_GREY, &decoded, message, sizeof message) != 0) {
            qWarning("%s", message);
            return false;
        }
        // The image owns the decoded pixels: no copy of them.
        QImage pixels(decoded.rgba, static_cast<int>(decoded.width), static_cast<int>(decoded.height),
                      static_cast<qsizetype>(decoded.width) * 4, QImage::Format_RGBA8888, std::free, decoded.rgba);
        if (pixels.isNull()) {
            std::free(decoded.rgba);
            return false;
        }
        *image = pixels;
        return true;
    }

    bool supportsOption(ImageOption option) const override
    {
        return option == Size;
    }

    // The size from the header, without decoding.
    QVariant option(ImageOption option) const override
    {
        if (option != Size || device() == nullptr) {
            return {};
        }
        const QByteArray prefix = device()->peek(kPrefixSize);
        kestrune_facts facts;
        facts.size = sizeof facts;
        const qint64 size = device()->isSequential() ? prefix.size() : device()->size();
        if (kestrune_read_facts_prefix(prefix.constData(), static_cast<size_t>(prefix.size()),
                                       static_cast<uint64_t>(size), &facts) != KESTRUNE_OK) {
            return {};
        }
        return QSize(static_cast<int>(facts.width), static_cast<int>(facts.height));
    }
};

}  // namespace

class BrtexPlugin : public QImageIOPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QImageIOHandlerFactoryInterface" FILE "brtex.json")

public:
    Capabilities capabilities(QIODevice* device, const QByteArray& format) const override
    {
        if (format == "brtex") {
            return CanRead;
        }
        if (!format.isEmpty() || device == nullptr || !device->isOpen()) {
            return {};
        }
        return LooksLikeTexture(device) ? CanRead : Capabilities();
    }

    QImageIOHandler* create(QIODevice* device, const QByteArray& format) const override
    {
        auto* handler = new BrtexHandler;
        handler->setDevice(device);
        handler->setFormat(format);
        return handler;
    }
};

#include "brtex_plugin.moc"
