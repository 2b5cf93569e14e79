// Linked with the program's own main(): starts the configurator exactly as
// an operator does, with the scripted operator answering its dialogs, and
// reports on stdout, when the process ends, everything the operator met.
// The process ends either through the start-up's own exit or through main()
// returning, so the report is written from an exit handler.
//
// Environment:
//   TARVO_PROBE_ANSWERS  answers to the dialogs, ';'-separated:
//                        choose:TEXT, type:TEXT (a text not in the list), cancel
//   TARVO_PROBE_QUIT     when set, presses "Quit" once the window is shown
//   TARVO_PROBE_GRAB     when set, saves a picture of the shown window to this
//                        path, then presses "Quit"
//
// Report lines (tab-separated):
//   dialog <kind> <title> <label> <items,comma-separated> <current> <hasParent>
//   box <title> <text> <icon> <buttons> <hasParent> <modal>
//   trace <line>
//   unexpected <dialog title>
//   shown <number of times a MainWindow was shown>
//   grabbed <width>x<height>   (or "grab-failed")

#include "app/mainwindow.h"
#include "operator.h"
#include "traces.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

namespace {

int windowShown = 0;
QString grabResult;

void out(const QStringList &fields)
{
    std::fputs(fields.join(QLatin1Char('\t')).toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
}

void report()
{
    const ScriptedOperator &op = ScriptedOperator::instance();
    for (const ScriptedOperator::Dialog &d : op.dialogs)
        out({QStringLiteral("dialog"), d.kind, d.title, d.label, d.items.join(QLatin1Char(',')),
             QString::number(d.current), QString::number(d.hasParent)});
    for (const ScriptedOperator::Box &b : op.boxes)
        out({QStringLiteral("box"), b.title, b.text, QString::number(int(b.icon)), QString::number(int(b.buttons)),
             QString::number(b.hasParent), QString::number(b.modal)});
    for (const QString &line : Traces::lines())
        out({QStringLiteral("trace"), line});
    for (const QString &title : op.unexpected)
        out({QStringLiteral("unexpected"), title});
    out({QStringLiteral("shown"), QString::number(windowShown)});
    if (!grabResult.isEmpty())
        out({grabResult});
    std::fflush(stdout);
}

// Watches for the main window being shown, and acts on it when asked to.
class WindowWatcher : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Show)
            return false;
        auto *window = qobject_cast<MainWindow *>(watched);
        if (!window)
            return false;
        ++windowShown;
        const QString grabPath = qEnvironmentVariable("TARVO_PROBE_GRAB");
        if (grabPath.isEmpty() && !qEnvironmentVariableIsSet("TARVO_PROBE_QUIT"))
            return false;
        QPointer<MainWindow> guard(window);
        QTimer::singleShot(0, this, [guard, grabPath] {
            if (!guard)
                return;
            if (!grabPath.isEmpty()) {
                const QPixmap picture = guard->grab();
                grabResult = picture.save(grabPath, "PNG")
                                 ? QStringLiteral("grabbed\t%1x%2").arg(picture.width()).arg(picture.height())
                                 : QStringLiteral("grab-failed");
            }
            if (auto *quit = guard->findChild<QPushButton *>(QStringLiteral("QuitBtn")))
                quit->click();
        });
        return false;
    }
};

void scriptAnswers()
{
    ScriptedOperator &op = ScriptedOperator::instance();
    const QStringList answers = qEnvironmentVariable("TARVO_PROBE_ANSWERS").split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString &answer : answers) {
        if (answer.startsWith(QLatin1String("choose:")))
            op.chooseItem(answer.mid(7));
        else if (answer.startsWith(QLatin1String("type:")))
            op.typeItemText(answer.mid(5));
        else if (answer == QLatin1String("cancel"))
            op.cancel();
        else
            std::fprintf(stderr, "startup_probe: unknown answer %s\n", qPrintable(answer));
    }
}

// Runs inside the QApplication constructor, before main() builds the window.
void installProbe()
{
    Traces::install();
    ScriptedOperator::instance().install();
    scriptAnswers();
    qApp->installEventFilter(new WindowWatcher(qApp));
    // Both statics above exist by now, so the report runs before they go.
    Traces::lines();
    std::atexit(report);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installProbe)
