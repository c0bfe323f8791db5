#include "ui/queryview.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>

#include <memory>

namespace {

QString numberedLines(int count, const QString &end)
{
    QString text;
    for (int i = 0; i < count; ++i) {
        text += QStringLiteral("line %1").arg(i);
        text += end;
    }
    return text;
}

// What a user or a later edit could tell apart between two views.
QString state(const QPlainTextEdit &view)
{
    QString text;
    QDebug(&text) << view.document()->blockCount() << view.document()->isUndoAvailable()
                  << view.document()->isModified() << view.textCursor().anchor()
                  << view.textCursor().position() << view.horizontalScrollBar()->value()
                  << view.verticalScrollBar()->value() << view.verticalScrollBarPolicy();
    return text;
}

} // namespace

// Every behaviour is compared with the toolkit's own: one view is given the
// text with setPlainText and searched with QPlainTextEdit::find, the other
// goes through showQueryDocument and findInView.
class tst_QueryView : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void matchesToolkit_data();
    void matchesToolkit();
    void findAfterEditSeesNewText();

private:
    std::unique_ptr<QPlainTextEdit> toolkit;
    std::unique_ptr<QPlainTextEdit> ours;
};

void tst_QueryView::init()
{
    toolkit.reset(new QPlainTextEdit);
    ours.reset(new QPlainTextEdit);
    for (QPlainTextEdit *view : {toolkit.get(), ours.get()}) {
        view->setReadOnly(true);
        view->setLineWrapMode(QPlainTextEdit::NoWrap);
        view->setCenterOnScroll(true);
        view->resize(400, 300);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view));
    }
}

void tst_QueryView::matchesToolkit_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("terms");
    // The ends of the selections to search from; none: every position.
    QTest::addColumn<QList<int>>("positions");

    const QList<int> everywhere;
    QTest::newRow("empty -> empty document, no match") << "" << QStringList{"a"} << everywhere;
    QTest::newRow("abc abd ABC -> case-insensitive, from the selection, no wrap")
        << "abc abd ABC" << QStringList{"abc", "ABD", "abc abd abc", "abc abd abcx", "", "xyz"}
        << everywhere;
    QTest::newRow("LF lines, aaaa -> a block each, overlapping matches")
        << "aa\naaaa\n\n"
        << QStringList{"aa", "a\na"} << everywhere;
    QTest::newRow("CR LF -> a break per pair, no match across it")
        << "one\r\ntwo\r\n\r\nthree two\r\n"
        << QStringList{"TWO", "three", "o\r", "one\ntwo", "\r", "\n"} << everywhere;
    QTest::newRow("lone CR, CR CR LF, paragraph separator -> breaks, line separator no break")
        << "a\rbc\r\r\nd x\u2029yz a\u2028b\r"
        << QStringList{"bc", "X", "d x", "a\u2028B", "\u2029"} << everywhere;
    QTest::newRow("non-breaking space, Kelvin sign, surrogates -> folded as the toolkit does")
        << "a\u00A0b a b Gr\u00F6\u00DFe \u212A \U0001F600"
        << QStringList{"a b", "a\u00A0b", "GR\u00D6", "k", "\U0001F600"} << everywhere;
    QTest::newRow("long CR LF document -> several pieces, far matches scrolled to")
        << numberedLines(120000, QStringLiteral("\r\n")) << QStringList{"LINE 2500", "line 20"}
        << QList<int>{0, 20000};
}

void tst_QueryView::matchesToolkit()
{
    QFETCH(QString, text);
    QFETCH(QStringList, terms);
    QFETCH(QList<int>, positions);

    // A previous document, scrolled and with a selection, must leave no trace.
    for (QPlainTextEdit *view : {toolkit.get(), ours.get()}) {
        view->setPlainText(numberedLines(500, QStringLiteral("\n")));
        QVERIFY(view->find(QStringLiteral("line 400")));
        view->horizontalScrollBar()->setValue(view->horizontalScrollBar()->maximum());
    }
    toolkit->setPlainText(text);
    showQueryDocument(ours.get(), text);
    QTRY_COMPARE(ours->horizontalScrollBar()->value(), toolkit->horizontalScrollBar()->value());
    QCOMPARE(ours->document()->toRawText(), toolkit->document()->toRawText());
    QCOMPARE(state(*ours), state(*toolkit));
    QCOMPARE(ours->textCursor().charFormat(), toolkit->textCursor().charFormat());

    const int end = toolkit->document()->characterCount() - 1;
    for (int position = 0; positions.isEmpty() && position <= end; ++position)
        positions.append(position);
    const QTextDocument::FindFlags directions[] = {{}, QTextDocument::FindBackward};
    for (int anchor : qAsConst(positions)) {
        for (int position : qAsConst(positions)) {
            for (const QString &term : terms) {
                for (const QTextDocument::FindFlags flags : directions) {
                    if (position < anchor)
                        continue;
                    for (QPlainTextEdit *view : {toolkit.get(), ours.get()}) {
                        QTextCursor cursor = view->textCursor();
                        cursor.setPosition(anchor);
                        cursor.setPosition(position, QTextCursor::KeepAnchor);
                        view->setTextCursor(cursor);
                    }
                    const QString search = QStringLiteral("\"%1\" flags %2 from %3-%4: ")
                                               .arg(term)
                                               .arg(flags)
                                               .arg(anchor)
                                               .arg(position);
                    const bool expected = toolkit->find(term, flags);
                    const bool found = findInView(ours.get(), term, flags);
                    QCOMPARE(QString(search + (found ? "found " : "none ") + state(*ours)),
                             QString(search + (expected ? "found " : "none ") + state(*toolkit)));
                }
            }
        }
    }
}

// An index left from before an edit would find text the view no longer holds.
void tst_QueryView::findAfterEditSeesNewText()
{
    showQueryDocument(ours.get(), QStringLiteral("first"));
    ours->appendPlainText(QStringLiteral("second"));
    QVERIFY(findInView(ours.get(), QStringLiteral("SECOND"), {}));
    QCOMPARE(ours->textCursor().selectedText(), QStringLiteral("second"));
    ours->setPlainText(QStringLiteral("third"));
    QVERIFY(!findInView(ours.get(), QStringLiteral("first"), {}));
}

QTEST_MAIN(tst_QueryView)
#include "tst_queryview.moc"
