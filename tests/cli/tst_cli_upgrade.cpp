#include "clirun.h"
#include "testmain.h"

#include "firmware/image.h"
#include "firmware/upgradefile.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

namespace {

// An upgrade file of version v2.05 with varied code bytes; `image` gets
// what a node must hold after it.
QString upgradeFile(const QString &dir, QByteArray *image = nullptr)
{
    QByteArray raw(ImageInfo::ImageSize, '\0');
    for (int i = 0; i < ImageInfo::Offset; ++i)
        raw[i] = char((i * 7 + (i >> 9)) & 0xff);
    wire::putText(raw, ImageInfo::Offset + ImageInfo::VersionOffset, ImageInfo::VersionSize, "v2.05");
    const UpgradeFile file = buildUpgradeFile(raw);
    if (image) {
        *image = file.data;
        decodeImage(bytes(*image), image->size());
    }
    return writeFile(QDir(dir).filePath(file.fileName), file.data);
}

QJsonObject bySerial(const QJsonArray &rows, const QString &serial)
{
    for (const QJsonValue v : rows)
        if (v.toObject().value("serial").toString() == serial)
            return v.toObject();
    return {};
}

} // namespace

class CliUpgradeTest : public QObject
{
    Q_OBJECT

private slots:
    void twentyNodesInParallel()
    {
        QJsonArray nodes;
        for (int i = 0; i < 20; ++i)
            nodes.append(node(i, QString::number(4001 + i)));
        nodes[4] = node(4, "4005", {{"faults", QJsonObject{{"wrong-crc", true}}}});
        nodes[11] = node(11, "4012", {{"faults", QJsonObject{{"no-reply", QJsonArray{12}}}}});
        EmulatorProcess emu;
        QVERIFY(emu.startNodes(nodes));
        QTemporaryDir dir;
        QByteArray image;
        const QString file = upgradeFile(dir.path(), &image);

        const CliRun r = tarvo({"--json", "--timeout", "300", "upgrade", file, "--all"}, &emu);
        QCOMPARE(r.code, 1);
        const QJsonObject summary = parsedJson(r.out).toObject();
        QCOMPARE(summary.value("format").toString(), QStringLiteral("tarvo-summary"));
        const QJsonArray rows = summary.value("results").toArray();
        QCOMPARE(rows.size(), 20);
        int verified = 0;
        for (int i = 0; i < 20; ++i) {
            const QJsonObject row = bySerial(rows, QString::number(4001 + i));
            if (row.value("result") != "verified")
                continue;
            ++verified;
            QCOMPARE(row.value("reason").toString(), QStringLiteral("reports v2.05"));
            QCOMPARE(emu.storedFlash(QStringLiteral("192.0.2.%1").arg(10 + i)), image);
        }
        QCOMPARE(verified, 18);
        QCOMPARE(bySerial(rows, "4005").value("result").toString(), QStringLiteral("failed"));
        QCOMPARE(bySerial(rows, "4005").value("reason").toString(),
                 QStringLiteral("Firmware upgrade failed! The node's checksum differs; it was not restarted"));
        QVERIFY(!emu.received("192.0.2.14").contains("11"));
        QCOMPARE(bySerial(rows, "4012").value("result").toString(), QStringLiteral("failed"));
        QCOMPARE(bySerial(rows, "4012").value("reason").toString(),
                 QStringLiteral("Firmware upgrade timeout! Not done within 20 s; EraseSector sent, not answered; "
                                "nothing written"));
        // Not a terminal: plain progress lines, no cursor movements.
        QVERIFY(r.err.contains("Rig-1 (4001): 256/256 packets\n"));
        QVERIFY(!r.err.contains(QChar(0x1b)));
    }

    void nodeLostMidwayAndNodeAtTheVersion()
    {
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "5001", {{"faults", QJsonObject{{"drop-after-packet", 10}}}}),
                                node(1, "5002", {{"version", "v2.05"}})}));
        QTemporaryDir dir;
        const CliRun r = tarvo({"upgrade", upgradeFile(dir.path()), "5001", "5002"}, &emu);
        QCOMPARE(r.code, 1);
        const QStringList rows = r.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 4);
        QVERIFY2(rows.at(1).contains(QRegularExpression("^Rig-1 +5001 +192.0.2.10 +failed .* the node closed the connection while "
                                                        "awaiting the acknowledgement of packet 10; erased, 10 of 256 "
                                                        "packets written, not restarted; it holds no complete firmware: "
                                                        "run tarvo upgrade .*Tarvo_v2.05.upg 192.0.2.10$")),
                 qPrintable(rows.at(1)));
        QVERIFY2(rows.at(2).contains(QRegularExpression("^Rig-2 +5002 +192.0.2.11 +skipped .* already at v2.05$")),
                 qPrintable(rows.at(2)));
        QCOMPARE(rows.at(3), QStringLiteral("1 skipped, 1 failed"));
        QVERIFY(!emu.received("192.0.2.11").contains("12"));
    }
};

TARVO_TEST_MAIN(CliUpgradeTest)
#include "tst_cli_upgrade.moc"
