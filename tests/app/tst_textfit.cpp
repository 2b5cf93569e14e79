// Every caption of the form shows whole at the form's fixed point sizes and
// geometry, with the font family the package depends on (fonts-liberation2).
// A missing font fails here instead of passing on a fallback face.

#include "testmain.h"
#include "window.h"

#include <QFontInfo>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

#include <algorithm>

namespace {

const QString family = QStringLiteral("Liberation Sans");

// Notes a text that needs more room than it has, in both directions.
void checkFit(QStringList &misfits, const QWidget *w, const QString &text, const QRect &room)
{
    const QFontMetrics fm = w->fontMetrics();
    const QSize needed(fm.horizontalAdvance(text), fm.height());
    if (needed.width() > room.width() || needed.height() > room.height())
        misfits.append(QStringLiteral("\"%1\" (%2): %3x%4 px in %5x%6 px")
                           .arg(text, w->objectName())
                           .arg(needed.width())
                           .arg(needed.height())
                           .arg(room.width())
                           .arg(room.height()));
}

// Where a label's text can show: its contents, up to the first field that
// overlaps it on the right (the merge-mode boxes and port fields start
// inside their captions' rectangles and would hide the rest).
QRect labelRoom(const QLabel *label)
{
    QRect room = label->contentsRect().translated(label->pos());
    const auto siblings = label->parentWidget()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    for (const QWidget *s : siblings)
        if (s != label && s->geometry().intersects(label->geometry()) && s->x() > label->x())
            room.setRight(std::min(room.right(), s->x() - 1));
    return room;
}

} // namespace

class TextFitTest : public QObject
{
    Q_OBJECT

private slots:
    void labelsShowWhole()
    {
        auto w = openWindow();
        const auto labels = w->centralWidget()->findChildren<QLabel *>();
        QVERIFY(labels.size() > 30);
        QStringList misfits;
        for (const QLabel *label : labels) {
            QCOMPARE(QFontInfo(label->font()).family(), family);
            if (!label->text().isEmpty())
                checkFit(misfits, label, label->text(), labelRoom(label));
        }
        QVERIFY2(misfits.isEmpty(), qPrintable(misfits.join(QStringLiteral("; "))));
    }

    // Hidden buttons too: each pair shares one place and shows in turn.
    void buttonsShowWhole()
    {
        auto w = openWindow();
        const auto buttons = w->centralWidget()->findChildren<QPushButton *>();
        QCOMPARE(buttons.size(), 11);
        QStringList misfits;
        for (const QPushButton *button : buttons) {
            QCOMPARE(QFontInfo(button->font()).family(), family);
            QStyleOptionButton option;
            option.initFrom(button);
            option.text = button->text();
            // The rectangle the style draws the caption into, inside the
            // button's frame and margins.
            checkFit(misfits, button, button->text(),
                     button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button));
        }
        QVERIFY2(misfits.isEmpty(), qPrintable(misfits.join(QStringLiteral("; "))));
    }
};

TARVO_TEST_MAIN(TextFitTest)
#include "tst_textfit.moc"
