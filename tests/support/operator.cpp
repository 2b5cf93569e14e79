#include "operator.h"
#include "wait.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QFileDialog>
#include <QInputDialog>
#include <QThread>
#include <QTimer>

ScriptedOperator &ScriptedOperator::instance()
{
    static ScriptedOperator op;
    return op;
}

void ScriptedOperator::install()
{
    if (!installed) {
        qApp->installEventFilter(this);
        installed = true;
    }
}

void ScriptedOperator::reset()
{
    answers.clear();
    presses.clear();
    boxes.clear();
    dialogs.clear();
    unexpected.clear();
}

void ScriptedOperator::chooseItem(const QString &text) { answers.enqueue({Answer::Item, text}); }
void ScriptedOperator::typeItemText(const QString &text) { answers.enqueue({Answer::ItemText, text}); }
void ScriptedOperator::enterInt(int value) { answers.enqueue({Answer::Int, value}); }
void ScriptedOperator::enterText(const QString &text) { answers.enqueue({Answer::Text, text}); }
void ScriptedOperator::chooseFile(const QString &path) { answers.enqueue({Answer::File, path}); }
void ScriptedOperator::acceptDefault() { answers.enqueue({Answer::Accept, {}}); }
void ScriptedOperator::cancel() { answers.enqueue({Answer::Cancel, {}}); }

void ScriptedOperator::pressButton(QMessageBox::StandardButton button, int holdMs)
{
    presses.enqueue({button, holdMs});
}

void ScriptedOperator::holdNextBox(int holdMs) { presses.enqueue({QMessageBox::NoButton, holdMs}); }

QList<ScriptedOperator::Box> ScriptedOperator::boxesTitled(const QString &title) const
{
    QList<Box> out;
    for (const Box &b : boxes)
        if (b.title == title)
            out.append(b);
    return out;
}

bool ScriptedOperator::waitForBoxes(int n, int timeoutMs)
{
    return waitUntil([&] { return boxes.size() >= n; }, timeoutMs);
}

bool ScriptedOperator::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::Show)
        return false;
    if (auto *box = qobject_cast<QMessageBox *>(watched)) {
        Box b;
        b.title = box->windowTitle();
        b.text = box->text();
        b.icon = box->icon();
        b.hasParent = box->parentWidget() != nullptr;
        b.widget = box;
        const int index = int(boxes.size());
        boxes.append(b);
        // The box adds its automatic Ok button in its own show handling,
        // after this filter: look at the buttons once that has run.
        QPointer<QMessageBox> guard(box);
        QTimer::singleShot(0, this, [this, guard, index] {
            if (!guard || index >= boxes.size())
                return;
            Box &rec = boxes[index];
            rec.buttons = guard->standardButtons();
            rec.modal = guard->isModal();
            if (auto *d = guard->defaultButton())
                rec.defaultButton = guard->standardButton(d);
            if (guard->buttons().isEmpty())
                return; // a status box: nobody closes it by hand
            QMessageBox::StandardButton button = QMessageBox::NoButton;
            int hold = 0;
            if (!presses.isEmpty()) {
                const Press p = presses.dequeue();
                button = p.button;
                hold = p.holdMs;
            }
            QTimer::singleShot(hold, this, [this, guard, button] { answerBox(guard, button); });
        });
        return false;
    }
    if (auto *dialog = qobject_cast<QDialog *>(watched)) {
        Dialog d;
        d.hasParent = dialog->parentWidget() != nullptr;
        d.title = dialog->windowTitle();
        if (auto *in = qobject_cast<QInputDialog *>(dialog)) {
            d.label = in->labelText();
            if (in->inputMode() == QInputDialog::IntInput) {
                d.kind = QStringLiteral("int");
                d.value = in->intValue();
                d.minimum = in->intMinimum();
                d.maximum = in->intMaximum();
                d.step = in->intStep();
            } else if (!in->comboBoxItems().isEmpty()) {
                d.kind = QStringLiteral("item");
                d.items = in->comboBoxItems();
                d.current = int(d.items.indexOf(in->textValue()));
                d.value = in->textValue();
            } else {
                d.kind = QStringLiteral("text");
                d.value = in->textValue();
            }
        } else if (auto *fd = qobject_cast<QFileDialog *>(dialog)) {
            d.kind = QStringLiteral("file");
            d.value = fd->directory().absolutePath();
            d.filter = fd->nameFilters().join(QStringLiteral(";;"));
        } else {
            return false;
        }
        dialogs.append(d);
        QPointer<QDialog> guard(dialog);
        QTimer::singleShot(0, this, [this, guard] { answerDialog(guard); });
    }
    return false;
}

void ScriptedOperator::answerDialog(QPointer<QDialog> dialog)
{
    if (!dialog)
        return;
    if (answers.isEmpty()) {
        unexpected.append(dialog->windowTitle());
        dialog->reject();
        return;
    }
    const Answer a = answers.dequeue();
    if (a.kind == Answer::Cancel) {
        dialog->reject();
        return;
    }
    if (auto *in = qobject_cast<QInputDialog *>(dialog.data())) {
        switch (a.kind) {
        case Answer::ItemText:
            in->setComboBoxEditable(true);
            in->setTextValue(a.value.toString());
            break;
        case Answer::Item:
        case Answer::Text:
            in->setTextValue(a.value.toString());
            break;
        case Answer::Int:
            in->setIntValue(a.value.toInt());
            break;
        default:
            break;
        }
    } else if (auto *fd = qobject_cast<QFileDialog *>(dialog.data())) {
        if (a.kind == Answer::File)
            fd->selectFile(a.value.toString());
    }
    dialog->accept();
}

void ScriptedOperator::answerBox(QPointer<QMessageBox> box, QMessageBox::StandardButton button)
{
    if (!box)
        return;
    QAbstractButton *target = button != QMessageBox::NoButton ? box->button(button) : nullptr;
    if (!target)
        target = box->defaultButton();
    if (!target && !box->buttons().isEmpty())
        target = box->buttons().first();
    if (target)
        target->click();
}
