#include "platform/ui/CursorFile.h"

#include "platform/Error.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QPixmap>
#include <QtEndian>

QCursor LoadCursorFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw quorvane::Error(53, QStringLiteral("File not found: %1").arg(path));
    QByteArray data = file.readAll();

    // ICONDIR: reserved 0, type 2 (cursor), count; then 16-byte entries whose
    // planes and bit-count words hold the hot spot.
    const auto invalid = [&] { return quorvane::Error(481, QStringLiteral("Invalid picture: %1").arg(path)); };
    if (data.size() < 22)
        throw invalid();
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    const quint16 reserved = qFromLittleEndian<quint16>(bytes);
    const quint16 type = qFromLittleEndian<quint16>(bytes + 2);
    const quint16 count = qFromLittleEndian<quint16>(bytes + 4);
    if (reserved != 0 || type != 2 || count == 0)
        throw invalid();
    const int hotX = qFromLittleEndian<quint16>(bytes + 6 + 4);
    const int hotY = qFromLittleEndian<quint16>(bytes + 6 + 6);

    // Qt's ICO reader takes cursor files once they are labelled as icons.
    QByteArray asIcon = data;
    asIcon[2] = 1;
    QBuffer buffer(&asIcon);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "ico");
    const QImage image = reader.read();
    if (image.isNull())
        throw invalid();
    return QCursor(QPixmap::fromImage(image), qBound(0, hotX, image.width() - 1), qBound(0, hotY, image.height() - 1));
}
