#include "testmain.h"
#include "tst_upgrade_files.h"

namespace {

QByteArray pattern(int size)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char((i * 31 + 5) & 0xff);
    return b;
}

// Encoded in two calls, split at `splitAt`.
QByteArray encoded(QByteArray b, int splitAt = 0)
{
    encodeImage(bytes(b), splitAt);
    encodeImage(bytes(b) + splitAt, b.size() - splitAt);
    return b;
}

} // namespace

class ImageTest : public QObject
{
    Q_OBJECT

private slots:
    void checksumWrapsModulo2To32()
    {
        const QByteArray b(16843010, char(0xff)); // 255 * 16843010 = 2^32 + 254
        Traces::clear();
        QCOMPARE(imageChecksum(bytes(b), b.size()), 254u);
        QVERIFY(Traces::contains(QStringLiteral("Calculated CRC: 254")));
    }

    void scramblingRoundTripsWordsOnly()
    {
        for (int size : {130, 132, 131074}) {
            const QByteArray plain = pattern(size), enc = encoded(plain);
            QVERIFY(enc.left(4) != plain.left(4) && enc.mid(124, 4) != plain.mid(124, 4));
            QCOMPARE(enc.right(size % 4), plain.right(size % 4)); // the 1..3 byte tail stays
            QCOMPARE(fw::decoded(enc), plain);
        }
        const QByteArray zeros = encoded(QByteArray(132, '\0'));
        QCOMPARE(qFromLittleEndian<quint32>(zeros.constData()), 0xD413CCCEu); // twice the product's first key word
        QCOMPARE(zeros.mid(128), zeros.left(4)); // the 33rd word pairs with key word 0 again

        const QByteArray plain = pattern(512);
        QVERIFY(encoded(plain, 40) != encoded(plain)); // the key index restarts on each call
        QCOMPARE(encoded(plain, 128), encoded(plain));
    }

    void versionTextStaysInsideBlockAndBuffer()
    {
        QByteArray image = fw::rawImage("v2.05");
        QCOMPARE(ImageInfo::versionText(image), QByteArray("v2.05"));
        image.replace(ImageInfo::Offset + ImageInfo::VersionOffset, 48, QByteArray(48, 'A'));
        QCOMPARE(ImageInfo::versionText(image), QByteArray(48, 'A'));
        QCOMPARE(ImageInfo::versionText(image.left(ImageInfo::Offset + 20)), QByteArray(4, 'A'));
    }
};

TARVO_TEST_MAIN(ImageTest)
#include "tst_image.moc"
