#include "ui/queryview.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>

// The fast view against the toolkit's own: one view is given the text with
// setPlainText and searched with QPlainTextEdit::find, the other goes through
// showQueryDocument and findInView. Catches a find that loses the cursor or
// the case folding, and a fill that splits a line break or a character.
class tst_QueryView : public QObject
{
    Q_OBJECT

private slots:
    void matchesToolkit_data();
    void matchesToolkit();
};

// What a user or a later find could tell apart between two views.
static QVector<int> state(QPlainTextEdit &view)
{
    return {view.document()->blockCount(),       view.document()->isUndoAvailable(),
            view.textCursor().anchor(),          view.textCursor().position(),
            view.horizontalScrollBar()->value(), view.verticalScrollBar()->value()};
}

void tst_QueryView::matchesToolkit_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("terms");
    QTest::addColumn<int>("step"); // search from every step-th position

    QTest::newRow("abc abd ABC aaaa -> case-insensitive, overlapping, from the selection")
        << "abc abd ABC aaaa" << QStringList{"abc", "ABD", "abc abd abcx", "aa", ""} << 1;
    QTest::newRow("CR LF, lone CR, paragraph separator -> a break each, line separator none")
        << "one\r\ntwo\r\n\r\nthree\rd x\u2029yz a\u2028b\r"
        << QStringList{"TWO", "o\r", "one\ntwo", "\n", "d x", "a\u2028B", "\u2029"} << 1;
    QTest::newRow("non-breaking space, sharp s, Kelvin sign, surrogates -> folded as the toolkit")
        << "a\u00A0b a b Gr\u00F6\u00DFe \u212A \U0001F600"
        << QStringList{"a b", "a\u00A0b", "GR\u00D6", "k", "\U0001F600"} << 1;
    QTest::newRow("long CR LF document -> pieces cut between lines, far matches scrolled to")
        << QStringLiteral("a line of filler text, sixty characters long, give or take\r\n")
                   .repeated(20000) +
               QStringLiteral("the END\r\n")
        << QStringList{"the end", "FILLER"} << 700000;
}

void tst_QueryView::matchesToolkit()
{
    QFETCH(QString, text);
    QFETCH(QStringList, terms);
    QFETCH(int, step);
    QPlainTextEdit toolkit, ours;
    for (QPlainTextEdit *view : {&toolkit, &ours}) {
        view->setReadOnly(true);
        view->setLineWrapMode(QPlainTextEdit::NoWrap);
        view->setCenterOnScroll(true);
        view->resize(400, 300);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view));
        // A previous document, scrolled and with a selection, leaves no trace.
        view->setPlainText(QStringLiteral("line 400\n").repeated(500));
        QVERIFY(view->find(QStringLiteral("line 400")));
    }
    toolkit.setPlainText(text);
    showQueryDocument(&ours, text);
    QCOMPARE(ours.document()->toRawText(), toolkit.document()->toRawText());
    QCOMPARE(state(ours), state(toolkit));

    const int end = toolkit.document()->characterCount() - 1;
    const QTextDocument::FindFlags directions[] = {{}, QTextDocument::FindBackward};
    for (int anchor = 0; anchor <= end; anchor += step) {
        for (int position = anchor; position <= end; position += step) {
            for (const QString &term : terms) {
                for (const QTextDocument::FindFlags flags : directions) {
                    for (QPlainTextEdit *view : {&toolkit, &ours}) {
                        QTextCursor cursor = view->textCursor();
                        cursor.setPosition(anchor);
                        cursor.setPosition(position, QTextCursor::KeepAnchor);
                        view->setTextCursor(cursor);
                    }
                    const bool expected = toolkit.find(term, flags);
                    if (findInView(&ours, term, flags) != expected || state(ours) != state(toolkit))
                        QFAIL(qPrintable(QStringLiteral("\"%1\" %2 from %3-%4")
                                             .arg(term, QString::number(flags))
                                             .arg(anchor)
                                             .arg(position)));
                }
            }
        }
    }
}

QTEST_MAIN(tst_QueryView)
#include "tst_queryview.moc"
