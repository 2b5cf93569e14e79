// The window as the operator meets it after start-up: the form, its
// validators and views, and the wiring of slots and signals.

#include "testmain.h"
#include "window.h"

#include "link/devicerecord.h"

#include <QIntValidator>
#include <QMenuBar>
#include <QMetaMethod>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QTranslator>
#include <QtEndian>

namespace {

enum FontKind { Inherit, Label, Button, Heading };

struct FormWidget {
    const char *name;
    const char *className;
    const char *text; // nullptr: the widget has no text
    FontKind font;
    QRect geometry;   // null: placed by the window itself
    bool rightAligned;
};

// Every widget of the form, in creation order (which is the tab order).
const FormWidget form[] = {
    {"centralWidget", "QWidget", nullptr, Inherit, {}, false},
    {"listWidget", "QListWidget", nullptr, Inherit, {20, 260, 341, 211}, false},
    {"ConnectBtn", "QPushButton", "Connect", Button, {200, 480, 141, 41}, false},
    {"SearchBtn", "QPushButton", "Search", Button, {40, 480, 141, 41}, false},
    {"label", "QLabel", "Device List", Heading, {20, 220, 161, 31}, false},
    {"label_3", "QLabel", "Serial No.", Label, {20, 70, 81, 21}, false},
    {"label_4", "QLabel", "Firmware", Label, {20, 90, 71, 20}, false},
    {"label_5", "QLabel", "Device name", Label, {20, 110, 101, 20}, false},
    {"label_6", "QLabel", "Device Label", Label, {20, 50, 101, 20}, false},
    {"SerialNoLabel", "QLabel", "", Label, {120, 70, 191, 21}, false},
    {"FirmwareLabel", "QLabel", "", Label, {120, 90, 191, 20}, false},
    {"DevNameLabel", "QLabel", "", Label, {120, 110, 191, 20}, false},
    {"label_2", "QLabel", "Device Info", Heading, {20, 10, 161, 31}, false},
    {"label_7", "QLabel", "DMX PORT 1", Heading, {390, 10, 151, 31}, false},
    {"label_8", "QLabel", "DMX PORT 2", Heading, {590, 10, 161, 31}, false},
    {"label_9", "QLabel", "DMX PORT 4", Heading, {590, 220, 161, 31}, false},
    {"label_10", "QLabel", "DMX PORT 3", Heading, {390, 220, 161, 31}, false},
    {"BREAKLabel", "QLabel", "BREAK(us)", Label, {390, 100, 101, 20}, false},
    {"BREAKLabel_2", "QLabel", "MAB(us)", Label, {390, 120, 101, 20}, false},
    {"BREAKLabel_3", "QLabel", "MBF(us)", Label, {390, 140, 101, 20}, false},
    {"BREAKLabel_4", "QLabel", "Universe", Label, {390, 80, 101, 20}, false},
    {"BREAKLabel_5", "QLabel", "WAIT(us)", Label, {390, 160, 101, 21}, false},
    {"UniverseLine", "QLineEdit", nullptr, Inherit, {480, 80, 61, 20}, true},
    {"BREAKLine", "QLineEdit", nullptr, Inherit, {480, 100, 61, 20}, true},
    {"MABLine", "QLineEdit", nullptr, Inherit, {480, 120, 61, 20}, true},
    {"MBFLine", "QLineEdit", nullptr, Inherit, {480, 140, 61, 20}, true},
    {"WAITLine", "QLineEdit", nullptr, Inherit, {480, 160, 61, 20}, true},
    {"DeviceLabelLine", "QLineEdit", nullptr, Inherit, {120, 50, 241, 21}, false},
    {"BREAKLabel_7", "QLabel", "Channels nbr", Label, {390, 180, 101, 21}, false},
    {"ChannelsLine", "QLineEdit", nullptr, Inherit, {480, 180, 61, 20}, true},
    {"BREAKLabel_8", "QLabel", "BREAK(us)", Label, {590, 100, 101, 20}, false},
    {"MABLine_2", "QLineEdit", nullptr, Inherit, {680, 120, 61, 20}, true},
    {"ChannelsLine_2", "QLineEdit", nullptr, Inherit, {680, 180, 61, 20}, true},
    {"BREAKLabel_9", "QLabel", "Universe", Label, {590, 80, 101, 20}, false},
    {"BREAKLabel_10", "QLabel", "WAIT(us)", Label, {590, 160, 101, 21}, false},
    {"MBFLine_2", "QLineEdit", nullptr, Inherit, {680, 140, 61, 20}, true},
    {"BREAKLine_2", "QLineEdit", nullptr, Inherit, {680, 100, 61, 20}, true},
    {"BREAKLabel_11", "QLabel", "MAB(us)", Label, {590, 120, 101, 20}, false},
    {"WAITLine_2", "QLineEdit", nullptr, Inherit, {680, 160, 61, 20}, true},
    {"BREAKLabel_12", "QLabel", "MBF(us)", Label, {590, 140, 101, 20}, false},
    {"UniverseLine_2", "QLineEdit", nullptr, Inherit, {680, 80, 61, 20}, true},
    {"BREAKLabel_13", "QLabel", "Channels nbr", Label, {590, 180, 101, 21}, false},
    {"BREAKLabel_15", "QLabel", "BREAK(us)", Label, {390, 310, 101, 20}, false},
    {"MABLine_3", "QLineEdit", nullptr, Inherit, {480, 330, 61, 20}, true},
    {"ChannelsLine_3", "QLineEdit", nullptr, Inherit, {480, 390, 61, 20}, true},
    {"BREAKLabel_16", "QLabel", "Universe", Label, {390, 290, 101, 20}, false},
    {"BREAKLabel_17", "QLabel", "WAIT(us)", Label, {390, 370, 101, 21}, false},
    {"MBFLine_3", "QLineEdit", nullptr, Inherit, {480, 350, 61, 20}, true},
    {"BREAKLine_3", "QLineEdit", nullptr, Inherit, {480, 310, 61, 20}, true},
    {"BREAKLabel_18", "QLabel", "MAB(us)", Label, {390, 330, 101, 20}, false},
    {"WAITLine_3", "QLineEdit", nullptr, Inherit, {480, 370, 61, 20}, true},
    {"BREAKLabel_19", "QLabel", "MBF(us)", Label, {390, 350, 101, 20}, false},
    {"UniverseLine_3", "QLineEdit", nullptr, Inherit, {480, 290, 61, 20}, true},
    {"BREAKLabel_20", "QLabel", "Channels nbr", Label, {390, 390, 101, 21}, false},
    {"BREAKLabel_22", "QLabel", "BREAK(us)", Label, {590, 310, 101, 20}, false},
    {"MABLine_4", "QLineEdit", nullptr, Inherit, {680, 330, 61, 20}, true},
    {"ChannelsLine_4", "QLineEdit", nullptr, Inherit, {680, 390, 61, 20}, true},
    {"BREAKLabel_23", "QLabel", "Universe", Label, {590, 290, 101, 20}, false},
    {"BREAKLabel_24", "QLabel", "WAIT(us)", Label, {590, 370, 101, 21}, false},
    {"MBFLine_4", "QLineEdit", nullptr, Inherit, {680, 350, 61, 20}, true},
    {"BREAKLine_4", "QLineEdit", nullptr, Inherit, {680, 310, 61, 20}, true},
    {"BREAKLabel_25", "QLabel", "MAB(us)", Label, {590, 330, 101, 20}, false},
    {"WAITLine_4", "QLineEdit", nullptr, Inherit, {680, 370, 61, 20}, true},
    {"BREAKLabel_26", "QLabel", "MBF(us)", Label, {590, 350, 101, 20}, false},
    {"UniverseLine_4", "QLineEdit", nullptr, Inherit, {680, 290, 61, 20}, true},
    {"BREAKLabel_27", "QLabel", "Channels nbr", Label, {590, 390, 101, 21}, false},
    {"SetBtn", "QPushButton", "Set", Button, {510, 430, 111, 41}, false},
    {"RefreshBtn", "QPushButton", "Refresh", Button, {390, 430, 111, 41}, false},
    {"label_11", "QLabel", "IP Address", Label, {20, 130, 101, 20}, false},
    {"label_12", "QLabel", "Subnet", Label, {20, 150, 101, 20}, false},
    {"label_13", "QLabel", "MAC Address", Label, {20, 190, 101, 20}, false},
    {"IPLine", "QLineEdit", nullptr, Inherit, {120, 130, 241, 21}, false},
    {"SubnetLine", "QLineEdit", nullptr, Inherit, {120, 150, 241, 21}, false},
    {"MACLabel", "QLabel", "", Label, {120, 190, 191, 20}, false},
    {"DisonnectBtn", "QPushButton", "Disconnect", Button, {200, 480, 141, 41}, false},
    {"DefaultBtn", "QPushButton", "Default", Button, {630, 430, 111, 41}, false},
    {"label_14", "QLabel", "Gateway", Label, {20, 170, 101, 20}, false},
    {"GatewayLine", "QLineEdit", nullptr, Inherit, {120, 170, 241, 21}, false},
    {"MergeModeBox", "QComboBox", nullptr, Inherit, {478, 50, 61, 22}, false},
    {"MergeModeBox_2", "QComboBox", nullptr, Inherit, {680, 50, 61, 22}, false},
    {"MergeModeBox_3", "QComboBox", nullptr, Inherit, {480, 260, 61, 22}, false},
    {"MergeModeBox_4", "QComboBox", nullptr, Inherit, {680, 260, 61, 22}, false},
    {"BREAKLabel_6", "QLabel", "Merge Mode", Label, {390, 50, 101, 20}, false},
    {"BREAKLabel_14", "QLabel", "Merge Mode", Label, {590, 50, 101, 20}, false},
    {"BREAKLabel_21", "QLabel", "Merge Mode", Label, {390, 260, 101, 20}, false},
    {"BREAKLabel_28", "QLabel", "Merge Mode", Label, {590, 260, 101, 20}, false},
    {"FirmwareBtn", "QPushButton", "Firmware upgrade", Button, {390, 480, 231, 41}, false},
    {"QuitBtn", "QPushButton", "Quit", Button, {630, 480, 111, 41}, false},
    {"RunBtn", "QPushButton", "Run", Button, {390, 430, 111, 41}, false},
    {"CreateBootBinBtn", "QPushButton", "Create Boot Bin", Button, {830, 50, 231, 41}, false},
    {"CreateUpgBtn", "QPushButton", "Create Upg", Button, {830, 100, 231, 41}, false},
    {"menuBar", "QMenuBar", nullptr, Inherit, {}, false},
};

const char *const portLines[] = {"UniverseLine", "BREAKLine", "MABLine", "MBFLine", "WAITLine", "ChannelsLine"};
const char *const mergeBoxes[] = {"MergeModeBox", "MergeModeBox_2", "MergeModeBox_3", "MergeModeBox_4"};
const char *const addressLines[] = {"DeviceLabelLine", "IPLine", "SubnetLine", "GatewayLine"};

// The 24 port fields ("UniverseLine" ... "ChannelsLine_4").
QStringList portFieldNames()
{
    QStringList names;
    for (const char *base : portLines)
        for (const char *suffix : {"", "_2", "_3", "_4"})
            names.append(QLatin1String(base) + QLatin1String(suffix));
    return names;
}

QString textOf(QWidget *w)
{
    if (auto *label = qobject_cast<QLabel *>(w))
        return label->text();
    if (auto *button = qobject_cast<QAbstractButton *>(w))
        return button->text();
    return QString();
}

QByteArray discoveryRecord(quint32 deviceType)
{
    QByteArray record(DeviceRecord::Size, '\0');
    qToLittleEndian<quint32>(deviceType, record.data() + DeviceRecord::TypeOffset);
    return record;
}

QValidator::State check(const QValidator *v, QString text)
{
    int pos = 0;
    return v->validate(text, pos);
}

// Marks every text it translates, and only in the form's context.
class MarkingTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *source, const char *, int) const override
    {
        if (qstrcmp(context, "MainWindowClass") != 0)
            return QString();
        return QLatin1Char('[') + QString::fromUtf8(source) + QLatin1Char(']');
    }
    bool isEmpty() const override { return false; }
};

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void windowSettings()
    {
        auto w = openWindow();
        QCOMPARE(w->objectName(), QStringLiteral("MainWindowClass"));
        QCOMPARE(w->windowTitle(), QStringLiteral("Tarvo configurator ver. 1.00"));
        QVERIFY(w->testAttribute(Qt::WA_SetFont));
        QCOMPARE(w->font().pointSize(), 11);
        QCOMPARE(w->font().weight(), QFont::Normal);
        QCOMPARE(w->centralWidget(), w->findChild<QWidget *>(QStringLiteral("centralWidget")));
        QVERIFY(w->centralWidget()->isEnabled());
        QCOMPARE(w->menuBar(), w->findChild<QMenuBar *>(QStringLiteral("menuBar")));
        QVERIFY(w->menuBar()->actions().isEmpty());
    }

    void formWidgets()
    {
        auto w = openWindow();
        QWidget *central = w->centralWidget();
        for (const FormWidget &f : form) {
            const QString name = QLatin1String(f.name);
            QWidget *widget = w->findChild<QWidget *>(name);
            QVERIFY2(widget, f.name);
            QCOMPARE(widget->metaObject()->className(), f.className);
            const bool topLevelPart = name == QLatin1String("centralWidget") || name == QLatin1String("menuBar");
            QCOMPARE(widget->parentWidget(), topLevelPart ? w.get() : central);
            if (f.text)
                QCOMPARE(textOf(widget), QString::fromUtf8(f.text));
            if (!f.geometry.isNull())
                QCOMPARE(widget->geometry(), f.geometry);

            // Widgets without a font of their own follow the window's.
            QCOMPARE(widget->testAttribute(Qt::WA_SetFont), f.font != Inherit);
            const QFont font = widget->font();
            QCOMPARE(font.pointSize(), f.font == Heading ? 17 : f.font == Button ? 12 : 11);
            QCOMPARE(font.weight(), f.font == Heading ? QFont::Bold : QFont::Normal);

            if (auto *line = qobject_cast<QLineEdit *>(widget)) {
                const Qt::Alignment expected =
                    f.rightAligned ? Qt::AlignRight | Qt::AlignVCenter : Qt::AlignLeft | Qt::AlignVCenter;
                QCOMPARE(line->alignment(), expected);
            }
        }
    }

    // Creation order, seen through the focus chain: this is the order in
    // which Tab walks the window.
    void tabOrderIsCreationOrder()
    {
        auto w = openWindow();
        QStringList expected, names;
        for (const FormWidget &f : form)
            expected.append(QLatin1String(f.name));
        for (QWidget *next = w->nextInFocusChain(); next != w.get(); next = next->nextInFocusChain())
            if (expected.contains(next->objectName()))
                names.append(next->objectName());
        QCOMPARE(names, expected);
        QCOMPARE(w->centralWidget()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly).size(), int(std::size(form)) - 2);
    }

    // Every text passes through the translation of context "MainWindowClass".
    void textsAreTranslatedInTheFormContext()
    {
        MarkingTranslator translator;
        QCoreApplication::installTranslator(&translator);
        auto w = openWindow();
        QCoreApplication::removeTranslator(&translator);
        for (const FormWidget &f : form) {
            if (!f.text || !*f.text)
                continue;
            QWidget *widget = w->findChild<QWidget *>(QLatin1String(f.name));
            QCOMPARE(textOf(widget), QLatin1Char('[') + QString::fromUtf8(f.text) + QLatin1Char(']'));
        }
    }

    // The window is fixed at 760 x 550; the production column at x = 830
    // stays out of sight, and everything else lies inside.
    void fixedSizeHidesTheProductionColumn()
    {
        auto w = openWindow();
        const QSize fixed(760, 550);
        QCOMPARE(w->size(), fixed);
        QCOMPARE(w->minimumSize(), fixed);
        QCOMPARE(w->maximumSize(), fixed);
        w->resize(1081, 578);
        QCOMPARE(w->size(), fixed);

        for (const FormWidget &f : form) {
            QWidget *widget = w->findChild<QWidget *>(QLatin1String(f.name));
            if (widget->parentWidget() != w->centralWidget())
                continue;
            const QRect inWindow(widget->mapTo(w.get(), QPoint(0, 0)), widget->size());
            const bool production =
                qstrcmp(f.name, "CreateBootBinBtn") == 0 || qstrcmp(f.name, "CreateUpgBtn") == 0;
            QVERIFY2(w->rect().contains(inWindow) != production, f.name);
            if (production) {
                QVERIFY(widget->isVisible());
                QVERIFY(widget->visibleRegion().isEmpty());
            }
        }
    }

    void startsInTheDisconnectedView()
    {
        auto w = openWindow();
        MainWindowProbe p(*w);
        for (const char *shown : {"ConnectBtn", "SearchBtn", "RefreshBtn", "QuitBtn"})
            QVERIFY2(p.button(shown)->isVisible(), shown);
        for (const char *hidden : {"DisonnectBtn", "RunBtn"})
            QVERIFY2(!p.button(hidden)->isVisible(), hidden);
        for (const char *disabled : {"RefreshBtn", "SetBtn", "DefaultBtn", "FirmwareBtn"})
            QVERIFY2(!p.button(disabled)->isEnabled(), disabled);
        QVERIFY(p.button("SearchBtn")->isEnabled());
        QVERIFY(p.button("QuitBtn")->isEnabled());
        for (const char *name : addressLines)
            QVERIFY2(p.line(name)->isReadOnly(), name);
        for (const QString &name : portFieldNames())
            QVERIFY2(!p.line(qPrintable(name))->isReadOnly(), qPrintable(name));

        for (QLineEdit *line : w->centralWidget()->findChildren<QLineEdit *>(QString(), Qt::FindDirectChildrenOnly))
            QVERIFY(line->text().isEmpty());
        for (const char *name : {"SerialNoLabel", "FirmwareLabel", "DevNameLabel", "MACLabel"})
            QVERIFY(p.label(name)->text().isEmpty());
        for (const char *name : mergeBoxes) {
            QComboBox *box = p.combo(name);
            QCOMPARE(box->count(), 2);
            QCOMPARE(box->itemText(0), QStringLiteral("HTP"));
            QCOMPARE(box->itemData(0), QVariant(0));
            QCOMPARE(box->itemText(1), QStringLiteral("LTP"));
            QCOMPARE(box->itemData(1), QVariant(1));
            QCOMPARE(box->currentIndex(), 0);
        }

        QCOMPARE(p.list()->count(), 0);
        QCOMPARE(p.list()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QVERIFY(p.list()->verticalScrollBar()->isVisible());
    }

    // Each view sets only its own widgets: the hidden one of "Refresh" and
    // "Run" keeps its enabled state, and the address fields follow the view.
    void viewsLeaveHiddenButtonsAlone()
    {
        auto w = openWindow();
        MainWindowProbe p(*w);
        p.devices() = {discoveryRecord(DeviceRecord::DeviceTypeBootLoader)};
        p.selectedDeviceIndex() = 0;
        p.setConnectedView();
        QVERIFY(!p.button("RefreshBtn")->isVisible());
        QVERIFY(!p.button("RefreshBtn")->isEnabled());
        QVERIFY(p.button("RunBtn")->isVisible());
        for (const char *name : addressLines)
            QVERIFY2(!p.line(name)->isReadOnly(), name);

        p.setDisconnectedView();
        QVERIFY(!p.button("RunBtn")->isVisible());
        QVERIFY(p.button("RunBtn")->isEnabled());
        for (const char *name : addressLines)
            QVERIFY2(p.line(name)->isReadOnly(), name);
    }

    void clearPortFieldsEmptiesOnlyThePorts()
    {
        auto w = openWindow();
        MainWindowProbe p(*w);
        p.setConnectedView();
        const QStringList ports = portFieldNames();
        for (const QString &name : ports)
            p.line(qPrintable(name))->setText(QStringLiteral("100"));
        for (const char *name : mergeBoxes)
            p.combo(name)->setCurrentIndex(1);
        for (const char *name : addressLines)
            p.line(name)->setText(QStringLiteral("10.0.0.1"));
        p.label("SerialNoLabel")->setText(QStringLiteral("S1"));

        p.clearPortFields();
        for (const QString &name : ports)
            QVERIFY2(p.line(qPrintable(name))->text().isEmpty(), qPrintable(name));
        for (const char *name : mergeBoxes)
            QCOMPARE(p.combo(name)->currentText(), QStringLiteral("HTP"));
        for (const char *name : addressLines)
            QCOMPARE(p.line(name)->text(), QStringLiteral("10.0.0.1"));
        QCOMPARE(p.label("SerialNoLabel")->text(), QStringLiteral("S1"));
    }

    // Dotted quads of decimal octets 0..255, leading zeros allowed; each of
    // the three fields has a validator of its own.
    void addressFieldsTakeDottedQuads()
    {
        auto w = openWindow();
        MainWindowProbe p(*w);
        QSet<const QValidator *> seen;
        for (const char *name : {"IPLine", "SubnetLine", "GatewayLine"}) {
            auto *v = qobject_cast<const QRegularExpressionValidator *>(p.line(name)->validator());
            QVERIFY2(v, name);
            QCOMPARE(v->parent(), w.get());
            seen.insert(v);
            QCOMPARE(check(v, QStringLiteral("192.168.001.010")), QValidator::Acceptable);
            QCOMPARE(check(v, QStringLiteral("255.255.255.255")), QValidator::Acceptable);
            QCOMPARE(check(v, QStringLiteral("1.2.3.256")), QValidator::Invalid);
            QCOMPARE(check(v, QStringLiteral("1.2.3.4.5")), QValidator::Invalid);
            QCOMPARE(check(v, QStringLiteral("1.2.3")), QValidator::Intermediate);
        }
        QCOMPARE(seen.size(), 3);

        // Typing: the refused keystrokes simply do not arrive.
        p.setConnectedView();
        QLineEdit *ip = p.line("IPLine");
        QTest::keyClicks(ip, QStringLiteral("192.168.001.0105"));
        QCOMPARE(ip->text(), QStringLiteral("192.168.001.010"));
        ip->clear();
        QTest::keyClicks(ip, QStringLiteral("256.1.1.1"));
        QCOMPARE(ip->text(), QStringLiteral("25.1.1.1"));
        QTest::keyClicks(ip, QStringLiteral(".7"));
        QCOMPARE(ip->text(), QStringLiteral("25.1.1.17"));
    }

    // One integer validator per kind of port field, shared by the four
    // ports; the ranges are what "Set" later checks against.
    void portFieldRanges()
    {
        auto w = openWindow();
        MainWindowProbe p(*w);
        const struct {
            const char *field;
            int bottom, top;
        } ranges[] = {{"ChannelsLine", 24, 512}, {"UniverseLine", 1, 256}, {"BREAKLine", 92, 999},
                      {"MABLine", 12, 999},      {"MBFLine", 0, 999},      {"WAITLine", 10, 999}};
        QSet<const QValidator *> seen;
        for (const auto &r : ranges) {
            auto *v = qobject_cast<const QIntValidator *>(p.line(r.field)->validator());
            QVERIFY2(v, r.field);
            QCOMPARE(v->parent(), w.get());
            QCOMPARE(v->bottom(), r.bottom);
            QCOMPARE(v->top(), r.top);
            for (const char *suffix : {"_2", "_3", "_4"})
                QCOMPARE(p.line(qPrintable(QLatin1String(r.field) + QLatin1String(suffix)))->validator(), v);
            seen.insert(v);
        }
        QCOMPARE(seen.size(), 6);
        QVERIFY(!p.line("DeviceLabelLine")->validator());
        QCOMPARE(p.line("DeviceLabelLine")->maxLength(), 32767);
    }

    void universeFieldRefusesWhatIsOutOfRange()
    {
        auto w = openWindow();
        MainWindowProbe p(*w);
        QLineEdit *universe = p.line("UniverseLine_3");
        QTest::keyClicks(universe, QStringLiteral("1000"));
        QCOMPARE(universe->text(), QStringLiteral("100"));
        universe->clear();
        QTest::keyClicks(universe, QStringLiteral("x2a5-"));
        QCOMPARE(universe->text(), QStringLiteral("25"));
        QCOMPARE(check(universe->validator(), QStringLiteral("256")), QValidator::Acceptable);
        QCOMPARE(check(universe->validator(), QStringLiteral("1000")), QValidator::Invalid);
        QCOMPARE(check(universe->validator(), QStringLiteral("abc")), QValidator::Invalid);

        // An emptied field stays empty: "Set" is what reports it.
        QTest::keyClick(universe, Qt::Key_Backspace);
        QTest::keyClick(universe, Qt::Key_Backspace);
        QCOMPARE(universe->text(), QString());
        QVERIFY(!universe->hasAcceptableInput());
    }

    // Meta-object: fifteen private slots in table order, nothing else.
    void slotTable()
    {
        const QMetaObject &mo = MainWindow::staticMetaObject;
        QCOMPARE(mo.className(), "MainWindow");
        QCOMPARE(mo.superClass(), &QMainWindow::staticMetaObject);
        const char *const expected[] = {
            "searchForDevices()",   "connectToDevice(QListWidgetItem*)", "discoveryResponseMessage()",
            "deviceConnected()",    "connectBtnPressed()",               "displayDevice()",
            "tcpMessageHandler()",  "sendConfig()",                      "deviceDisconnected()",
            "setDefaultConfig()",   "timerTimeout()",                    "updateFirmware()",
            "runApp()",             "createUpg()",                       "createBootBin()",
        };
        QCOMPARE(mo.methodCount() - mo.methodOffset(), int(std::size(expected)));
        for (int i = 0; i < int(std::size(expected)); ++i) {
            const QMetaMethod m = mo.method(mo.methodOffset() + i);
            QCOMPARE(m.methodSignature(), QByteArray(expected[i]));
            QCOMPARE(m.methodType(), QMetaMethod::Slot);
            QCOMPARE(m.access(), QMetaMethod::Private);
            QCOMPARE(m.returnType(), int(QMetaType::Void));
        }
        QCOMPARE(mo.method(mo.methodOffset() + 1).parameterNames(), QList<QByteArray>{"item"});
        QCOMPARE(mo.propertyCount(), mo.propertyOffset());

        // The production operations are reached by name alone.
        QCOMPARE(mo.indexOfSlot("createUpg()") - mo.methodOffset(), 13);
        QCOMPARE(mo.indexOfSlot("createBootBin()") - mo.methodOffset(), 14);
    }

    // Each signal of the wiring table reaches its slot exactly once (a
    // second disconnect finds nothing) and reaches nothing else.
    void connections()
    {
        auto w = openWindow();
        MainWindowProbe p(*w);
        MainWindow *win = w.get();
        using P = MainWindowProbe;
        auto once = [](auto *sender, auto signal, auto *receiver, auto slot) {
            return SignalReceivers::count(sender, QMetaMethod::fromSignal(signal)) == 1 &&
                   QObject::disconnect(sender, signal, receiver, slot) &&
                   !QObject::disconnect(sender, signal, receiver, slot);
        };
        const struct {
            const char *button;
            const char *slot;
        } buttons[] = {{"SearchBtn", "searchForDevices"}, {"ConnectBtn", "connectBtnPressed"},
                       {"SetBtn", "sendConfig"},          {"RefreshBtn", "connectBtnPressed"},
                       {"DefaultBtn", "setDefaultConfig"}, {"FirmwareBtn", "updateFirmware"},
                       {"RunBtn", "runApp"}};
        for (const auto &b : buttons)
            QVERIFY2(once(p.button(b.button), &QPushButton::clicked, win, P::slot(b.slot)), b.button);
        QVERIFY(once(&p.operationTimer(), &QTimer::timeout, win, P::slot("timerTimeout")));
        QVERIFY(once(p.tcpSocket(), &QTcpSocket::connected, win, P::slot("deviceConnected")));
        QVERIFY(once(p.udpSocket(), &QUdpSocket::readyRead, win, P::slot("discoveryResponseMessage")));
        QVERIFY(once(p.tcpSocket(), &QTcpSocket::readyRead, win, P::slot("tcpMessageHandler")));
        QVERIFY(once(p.tcpSocket(), &QTcpSocket::disconnected, win, P::slot("deviceDisconnected")));
        QVERIFY(once(p.button("DisonnectBtn"), &QPushButton::clicked, p.tcpSocket(), &QAbstractSocket::disconnectFromHost));
        QVERIFY(once(p.list(), &QListWidget::itemDoubleClicked, win, P::connectToDeviceSlot()));
        QVERIFY(once(p.list(), &QListWidget::itemClicked, win, P::slot("displayDevice")));

        // The production buttons lead nowhere.
        for (const char *name : {"CreateBootBinBtn", "CreateUpgBtn"}) {
            const QMetaObject *mo = p.button(name)->metaObject();
            for (int i = QAbstractButton::staticMetaObject.methodOffset(); i < mo->methodCount(); ++i)
                if (mo->method(i).methodType() == QMetaMethod::Signal)
                    QVERIFY2(SignalReceivers::count(p.button(name), mo->method(i)) == 0,
                             qPrintable(QLatin1String(name) + QLatin1Char(' ') + mo->method(i).methodSignature()));
        }
    }

    void quitClosesTheWindow()
    {
        auto w = openWindow();
        MainWindowProbe p(*w);
        // Closing the last window would end the test's event loops too.
        qApp->setQuitOnLastWindowClosed(false);
        p.button("QuitBtn")->click();
        qApp->setQuitOnLastWindowClosed(true);
        QVERIFY(!w->isVisible());
    }
};

TARVO_TEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
