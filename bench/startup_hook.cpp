// Linked into a program with its own main(): the configurator's (app/main.cpp)
// or a bare Qt window's (startup_bare.cpp). Runs inside the QApplication
// constructor, answers the address dialog at once with the workstation's
// first address, and when the first main window is shown prints, as
// "key=value" lines on standard output:
//   app_ns        when the QApplication was being constructed (CLOCK_MONOTONIC)
//   dialog_ns     when the address dialog was shown (the configurator only)
//   shown_ns      when the main window was shown
//   hwm_shown_kb  peak resident memory at that moment
// With BENCH_SEARCH=N it then presses "Search" and, once N entries are
// listed or none has come for 1.5 s, adds listed, search_ms, hwm_search_kb
// and rss_search_kb. Then the process ends at once: its teardown is not
// what is measured.

#include "benchsupport.h"
#include "operator.h"

#include <QApplication>
#include <QEvent>
#include <QInputDialog>
#include <QListWidget>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

namespace {

qint64 appNs = 0;
qint64 dialogNs = 0;


void finish()
{
    std::fflush(stdout);
    std::_Exit(0);
}

void measureSearch(QMainWindow *window, int expected)
{
    auto *list = window->findChild<QListWidget *>(QStringLiteral("listWidget"));
    auto *search = window->findChild<QPushButton *>(QStringLiteral("SearchBtn"));
    if (!list || !search) {
        std::printf("listed=-1\n");
        finish();
    }
    const qint64 start = bench::nowNs();
    search->click();
    qint64 lastRow = 0;
    int seen = 0;
    bench::waitUntil([&] {
        if (list->count() != seen) {
            seen = list->count();
            lastRow = bench::nowNs();
        }
        return seen >= expected || bench::nowNs() - (lastRow ? lastRow : start) > qint64(1500) * 1000000;
    }, 60000);
    std::printf("listed=%d\nsearch_ms=%.3f\nhwm_search_kb=%lld\nrss_search_kb=%lld\n", seen,
                double(lastRow - start) / 1e6, bench::peakRssKb(), bench::rssKb());
}

class ShowWatcher : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Show || done)
            return false;
        if (!dialogNs && qobject_cast<QInputDialog *>(watched))
            dialogNs = bench::nowNs();
        auto *window = qobject_cast<QMainWindow *>(watched);
        if (!window)
            return false;
        done = true;
        std::printf("app_ns=%lld\ndialog_ns=%lld\nshown_ns=%lld\nhwm_shown_kb=%lld\n", appNs, dialogNs, bench::nowNs(),
                    bench::peakRssKb());
        const int expected = qEnvironmentVariableIntValue("BENCH_SEARCH");
        QPointer<QMainWindow> guard(window);
        // Once the window has been painted, as an operator would see it.
        QTimer::singleShot(100, this, [guard, expected] {
            if (guard && expected > 0)
                measureSearch(guard, expected);
            finish();
        });
        return false;
    }

private:
    bool done = false;
};

void installHook()
{
    appNs = bench::nowNs();
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    ScriptedOperator::instance().install();
    const QString address = bench::workstationAddress();
    if (!address.isEmpty())
        ScriptedOperator::instance().chooseItem(address);
    // The program's traces would go to a terminal; here they go nowhere,
    // and are not kept either, so that they add nothing to the memory figures.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    qApp->installEventFilter(new ShowWatcher(qApp));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installHook)
