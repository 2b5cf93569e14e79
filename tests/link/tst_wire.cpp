// The tool's record layouts, checksum and scrambling against messages as
// they stand on the wire: literal bytes at literal offsets, so that moving
// an offset or changing a key word in the tool fails here.

#include "enginetestmain.h"

#include "config/configrecord.h"
#include "firmware/image.h"
#include "firmware/upgrademessage.h"
#include "link/devicerecord.h"

#include <utility>

namespace {

using Bytes = std::initializer_list<std::pair<int, const char *>>;

// `size` zero bytes with each hex run put at its offset.
QByteArray place(int size, Bytes runs)
{
    QByteArray r(size, '\0');
    for (const auto &[offset, hex] : runs) {
        const QByteArray b = QByteArray::fromHex(hex);
        r.replace(offset, b.size(), b);
    }
    return r;
}

// A node's discovery reply, bytes 0..281; bytes the tool does not read hold
// a5, which it must ignore.
const char discoveryReply[] =
    /*   0 label "Stage left"  */ "5374616765206c656674000000000000" "00000000000000000000000000000000"
    /*                         */ "00000000000000000000000000000000" "00000000000000000000000000000000"
    /*  64 command 1           */ "01000000"
    /*  68 deviceType 666      */ "9a020000"
    /*  72 unused, 48 bytes    */ "a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5" "a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5"
    /*                         */ "a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5"
    /* 120 serial "15030001"   */ "31353033303030310000000000000000"
    /* 136 unused              */ "a5a5a5a5"
    /* 140 replyStatus 258     */ "0201"
    /* 142 unused, 58 bytes    */ "a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5" "a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5"
    /*                         */ "a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5" "a5a5a5a5a5a5a5a5a5a5"
    /* 200 name "DMX4-Pro"     */ "444d58342d50726f0000000000000000"
    /* 216 version "v2.17"     */ "76322e31370000000000000000000000" "00000000000000000000000000000000"
    /*                         */ "00000000000000000000000000000000"
    /* 264 MAC                 */ "001a2b3c4d5e"
    /* 270 IP 192.168.1.10     */ "c0a8010a"
    /* 274 mask 255.255.0.0    */ "ffff0000"
    /* 278 gateway 192.168.0.1 */ "c0a80001";

// A configuration record: reserved bytes hold a5, each port's words differ.
QByteArray configRecord()
{
    return place(1024, {
        {0, "07000000"},                       // command GetConfig
        {4, "a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5"},  // reserved 4..67: its first 16 bytes
        {52, "a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5"}, // and its last 16
        {68, "01000000" "00000000" "02000000" "00000000"}, // merge modes, ports 1..4
        // break, MAB, MBF, WAIT, channels, reserved, universe index
        {84, "58000000" "08000000" "01000000" "02000000" "00020000" "a5a5a5a5" "04000000"},
        {112, "b0000000" "0c000000" "03000000" "04000000" "00010000" "a5a5a5a5" "11000000"},
        {140, "e8030000" "2c000000" "05000000" "06000000" "18000000" "a5a5a5a5" "c8000000"},
        {168, "70110100" "10000000" "07000000" "08000000" "01000000" "a5a5a5a5" "ff000000"},
        {196, "5472757373203300"},             // label "Truss 3"
        {260, "025441527003"},                 // six bytes the tool leaves alone
        {266, "c000020c" "ffffff00" "c00002fe"}, // 192.0.2.12, 255.255.255.0, 192.0.2.254
    });
}

// Rows of what the tool read and what the bytes say.
void actualExpectedColumns()
{
    QTest::addColumn<QString>("actual");
    QTest::addColumn<QString>("expected");
}

void compareFetched()
{
    QFETCH(QString, actual);
    QFETCH(QString, expected);
    QCOMPARE(actual, expected);
}

} // namespace

class Wire : public QObject
{
    Q_OBJECT

private slots:
    void discoveryReplyFields_data()
    {
        actualExpectedColumns();
        QByteArray r = QByteArray::fromHex(discoveryReply);
        QCOMPARE(int(r.size()), 282);
        r.append(QByteArray(512 - 282, '\0'));
        const auto row = [](const char *name, const QString &actual, const char *expected) {
            QTest::newRow(name) << actual << QString::fromLatin1(expected);
        };
        row("command", QString::number(DeviceRecord::command(r)), "1");
        row("deviceType", QString::number(DeviceRecord::deviceType(r)), "666");
        row("replyStatus", QString::number(DeviceRecord::replyStatus(r)), "258");
        row("deviceLabel", QString::fromLatin1(DeviceRecord::deviceLabel(r)), "Stage left");
        row("serialNumber", QString::fromLatin1(DeviceRecord::serialNumber(r)), "15030001");
        row("deviceName", QString::fromLatin1(DeviceRecord::deviceName(r)), "DMX4-Pro");
        row("firmwareVersion", QString::fromLatin1(DeviceRecord::firmwareVersion(r)), "v2.17");
        row("macAddress", DeviceRecord::macText(r), "00::1a::2b::3c::4d::5e");
        row("ipAddress", wire::dottedQuad(r, DeviceRecord::IpOffset), "192.168.1.10");
        row("subnetMask", wire::dottedQuad(r, DeviceRecord::MaskOffset), "255.255.0.0");
        row("gateway", wire::dottedQuad(r, DeviceRecord::GatewayOffset), "192.168.0.1");
    }
    void discoveryReplyFields() { compareFetched(); }

    void configRecordFields_data()
    {
        actualExpectedColumns();
        const QByteArray r = configRecord();
        // Per port: break, MAB, MBF, WAIT, channels, universe index, merge mode.
        const quint32 expected[4][7] = {
            {88, 8, 1, 2, 512, 4, 1},
            {176, 12, 3, 4, 256, 17, 0},
            {1000, 44, 5, 6, 24, 200, 2},
            {70000, 16, 7, 8, 1, 255, 0},
        };
        const int fields[6] = {PortConfig::BreakTime, PortConfig::MabTime, PortConfig::MbfTime,
                               PortConfig::WaitTime, PortConfig::ChannelCount, PortConfig::UniverseIndex};
        const char *const names[7] = {"break", "mab", "mbf", "wait", "channels", "universe", "merge"};
        for (int port = 0; port < 4; ++port) {
            for (int f = 0; f < 7; ++f) {
                const int offset = f < 6 ? ConfigRecord::portField(port, fields[f]) : ConfigRecord::mergeMode(port);
                QTest::addRow("port %d %s", port + 1, names[f])
                    << QString::number(wire::u32(r, offset)) << QString::number(expected[port][f]);
            }
        }
        QTest::newRow("label") << QString::fromLatin1(wire::text(r, ConfigRecord::LabelOffset, ConfigRecord::LabelSize))
                               << "Truss 3";
        QTest::newRow("ip") << wire::dottedQuad(r, ConfigRecord::IpOffset) << "192.0.2.12";
        QTest::newRow("mask") << wire::dottedQuad(r, ConfigRecord::MaskOffset) << "255.255.255.0";
        QTest::newRow("gateway") << wire::dottedQuad(r, ConfigRecord::GatewayOffset) << "192.0.2.254";
    }
    void configRecordFields() { compareFetched(); }

    void configAddressWritesItsBytes_data()
    {
        QTest::addColumn<int>("toolOffset");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("ip") << int(ConfigRecord::IpOffset) << "192.168.001.010" << place(1024, {{266, "c0a8010a"}});
        QTest::newRow("mask") << int(ConfigRecord::MaskOffset) << "255.255.254.0" << place(1024, {{270, "fffffe00"}});
        QTest::newRow("gateway") << int(ConfigRecord::GatewayOffset) << "10.0.0.254" << place(1024, {{274, "0a0000fe"}});
    }
    void configAddressWritesItsBytes()
    {
        QFETCH(int, toolOffset);
        QFETCH(QString, text);
        QFETCH(QByteArray, expected);
        QByteArray r(1024, '\0');
        QVERIFY(ConfigRecord::putAddress(r, toolOffset, text));
        QCOMPARE(r.toHex(), expected.toHex());
    }

    void programPacket_data()
    {
        QTest::addColumn<int>("imageSize");
        QTest::addColumn<int>("number");
        QTest::addColumn<QByteArray>("header"); // bytes 0..15
        QTest::addColumn<int>("payloadSize"); // image bytes at 67; zeros follow
        // Command 13, 4 bytes not used, packet number, length 512.
        QTest::newRow("first") << 1300 << 0 << QByteArray("0d000000" "00000000" "00000000" "00020000") << 512;
        QTest::newRow("last, partial") << 1300 << 2 << QByteArray("0d000000" "00000000" "02000000" "00020000") << 276;
        QTest::newRow("number 258") << 132200 << 258 << QByteArray("0d000000" "00000000" "02010000" "00020000") << 104;
    }
    void programPacket()
    {
        QFETCH(int, imageSize);
        QFETCH(int, number);
        QFETCH(QByteArray, header);
        QFETCH(int, payloadSize);
        QByteArray image(imageSize, '\0');
        for (int i = 0; i < imageSize; ++i)
            image[i] = char(i * 7 + 3);
        QByteArray expected = place(1024, {{0, header.constData()}});
        expected.replace(67, payloadSize, image.mid(number * 512, payloadSize));
        QCOMPARE(UpgradeMessage::programPacket(image, number).toHex(), expected.toHex());
    }

    void readCrcReply_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("held");
        QTest::addColumn<quint32>("sum");
        QTest::newRow("at 67") << place(1024, {{0, "10000000"}, {67, "78563412"}}) << true << 0x12345678u;
        QTest::newRow("at 68 reads otherwise") << place(1024, {{0, "10000000"}, {68, "78563412"}}) << true << 0x34567800u;
        QTest::newRow("ends before it") << place(70, {{0, "10000000"}, {67, "785634"}}) << false << 0u;
    }
    void readCrcReply()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, held);
        QFETCH(quint32, sum);
        quint32 read = 0;
        QCOMPARE(UpgradeMessage::nodeChecksum(reply, &read), held);
        QCOMPARE(read, sum);
    }

    void imageInfoFields()
    {
        const QByteArray image = place(0x20000, {{0x1FFD0, "76322e303500"}, {0x1FFE8, "0100"}, {0x1FFFC, "efbeadde"}});
        QCOMPARE(ImageInfo::versionText(image), QByteArray("v2.05"));
        QCOMPARE(ImageInfo::brand(image), quint16(1));
        QCOMPARE(ImageInfo::checksum(image), 0xDEADBEEFu);
        // Unsigned bytes, summed as the nodes sum them.
        const QByteArray sample = QByteArray::fromHex("ff01807f00");
        QCOMPARE(imageChecksum(bytes(sample), sample.size()), 511u);
    }

    void scrambleKeyIsTheNodes()
    {
        const quint32 nodes[32] = {
            0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A, 0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19,
            0x428A2F98, 0x71374491, 0xB5C0FBCF, 0xE9B5DBA5, 0x3956C25B, 0x59F111F1, 0x923F82A4, 0xAB1C5ED5,
            0xD807AA98, 0x12835B01, 0x243185BE, 0x550C7DC3, 0x72BE5D74, 0x80DEB1FE, 0x9BDC06A7, 0xC19BF174,
            0xE49B69C1, 0xEFBE4786, 0x0FC19DC6, 0x240CA1CC, 0x2DE92C6F, 0x4A7484AA, 0x5CB0A9DC, 0x76F988DA,
        };
        for (int i = 0; i < 32; ++i)
            QCOMPARE(scrambleKey[i], nodes[i]);
    }

    void scrambling_data()
    {
        QTest::addColumn<int>("offset");
        QTest::addColumn<QByteArray>("encoded");
        QTest::newRow("word 0, zero") << 0 << QByteArray("cecc13d4");
        QTest::newRow("word 1") << 4 << QByteArray("a5b929da");
        QTest::newRow("word 2") << 8 << QByteArray("7c98c96a");
        QTest::newRow("word 31, last key word") << 124 << QByteArray("b411f36d");
        QTest::newRow("word 32, key word 0 again") << 128 << QByteArray("cdcc13d4");
        QTest::newRow("2-byte tail unchanged") << 132 << QByteArray("abcd");
    }
    void scrambling()
    {
        QFETCH(int, offset);
        QFETCH(QByteArray, encoded);
        const QByteArray plain =
            place(134, {{4, "a5a5a5a5"}, {8, "78563412"}, {124, "00000080"}, {128, "01000000"}, {132, "abcd"}});
        QByteArray data = plain;
        QCOMPARE(encodeImage(bytes(data), data.size()), 0);
        QCOMPARE(data.mid(offset, int(encoded.size()) / 2).toHex(), encoded);
        QCOMPARE(decodeImage(bytes(data), data.size()), 0);
        QCOMPARE(data.toHex(), plain.toHex());
    }
};

TARVO_ENGINE_TEST_MAIN(Wire)
#include "tst_wire.moc"
