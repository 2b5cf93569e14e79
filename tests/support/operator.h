#ifndef TARVO_TEST_OPERATOR_H
#define TARVO_TEST_OPERATOR_H

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QStringList>
#include <QVariant>

class QDialog;

// A scripted operator: answers modal dialogs as a person would and records
// every message box it meets.
//
// Input, item and file dialogs take the next scripted answer in order; one
// without an answer is cancelled and noted in unexpected(). A message box
// with buttons is closed with its default button (or the next scripted
// button press) once its hold time has passed; a box without buttons (a
// status box) is only recorded.
class ScriptedOperator : public QObject
{
    Q_OBJECT

public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        bool hasParent = false;
        bool modal = false;
        QPointer<QMessageBox> widget;
    };

    struct Dialog {
        QString kind; // "item", "int", "text", "file"
        QString title;
        QString label;
        QStringList items; // offered items, for item dialogs
        int current = -1;  // preselected item index
        QVariant value;    // preset value (int / text / starting folder)
        int minimum = 0, maximum = 0, step = 0;
        QString filter;    // file dialogs
        bool hasParent = false;
    };

    static ScriptedOperator &instance();
    void install();
    void reset(); // forgets the script and the records

    // Answers to the next input, item or file dialog.
    void chooseItem(const QString &text);
    void typeItemText(const QString &text); // an item text not in the list
    void enterInt(int value);
    void enterText(const QString &text);
    void chooseFile(const QString &path);
    void acceptDefault();
    void cancel();

    // Answer to the next message box that has buttons; defaults to its
    // default button at once.
    void pressButton(QMessageBox::StandardButton button, int holdMs = 0);
    // Keep the next message box with buttons open for holdMs before closing it.
    void holdNextBox(int holdMs);

    QList<Box> boxes;
    QList<Dialog> dialogs;
    QStringList unexpected;

    // Boxes with the given title, in the order shown.
    QList<Box> boxesTitled(const QString &title) const;
    // Spins the event loop until `n` boxes have been recorded.
    bool waitForBoxes(int n, int timeoutMs = 5000);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Answer {
        enum Kind { Item, ItemText, Int, Text, File, Accept, Cancel } kind;
        QVariant value;
    };
    struct Press {
        QMessageBox::StandardButton button;
        int holdMs;
    };

    void answerDialog(QPointer<QDialog> dialog);
    void answerBox(QPointer<QMessageBox> box, QMessageBox::StandardButton button);

    QQueue<Answer> answers;
    QQueue<Press> presses;
    bool installed = false;
};

#endif
