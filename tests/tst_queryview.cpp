#include "ui/queryview.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>

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

} // namespace

// Every behaviour is compared with the toolkit's own: one view is given the
// text with setPlainText and searched with QPlainTextEdit::find, the other
// goes through showQueryDocument and findInView.
class tst_QueryView : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void showMatchesSetPlainText_data();
    void showMatchesSetPlainText();
    void findMatchesToolkit_data();
    void findMatchesToolkit();
    void findAfterEditSeesNewText();

private:
    QPlainTextEdit *makeView();
    void compareViews();

    QPlainTextEdit *toolkit = nullptr;
    QPlainTextEdit *ours = nullptr;
};

QPlainTextEdit *tst_QueryView::makeView()
{
    auto *view = new QPlainTextEdit;
    view->setReadOnly(true);
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    view->setTabStopDistance(200.0);
    view->setCenterOnScroll(true);
    view->setPlaceholderText(QStringLiteral("placeholder"));
    view->resize(400, 300);
    view->show();
    return view;
}

void tst_QueryView::init()
{
    toolkit = makeView();
    ours = makeView();
    QVERIFY(QTest::qWaitForWindowExposed(toolkit));
    QVERIFY(QTest::qWaitForWindowExposed(ours));
}

void tst_QueryView::cleanup()
{
    delete toolkit;
    delete ours;
}

void tst_QueryView::compareViews()
{
    QTextDocument *a = toolkit->document();
    QTextDocument *b = ours->document();
    QCOMPARE(b->toPlainText(), a->toPlainText());
    QCOMPARE(b->toRawText(), a->toRawText());
    QCOMPARE(b->blockCount(), a->blockCount());
    QCOMPARE(b->characterCount(), a->characterCount());
    QCOMPARE(b->isEmpty(), a->isEmpty());
    QCOMPARE(b->isUndoAvailable(), a->isUndoAvailable());
    QCOMPARE(b->isRedoAvailable(), a->isRedoAvailable());
    QCOMPARE(b->isModified(), a->isModified());
    QCOMPARE(ours->textCursor().anchor(), toolkit->textCursor().anchor());
    QCOMPARE(ours->textCursor().position(), toolkit->textCursor().position());
    QCOMPARE(ours->textCursor().charFormat(), toolkit->textCursor().charFormat());
    QCOMPARE(ours->verticalScrollBar()->value(), toolkit->verticalScrollBar()->value());
    QCOMPARE(ours->horizontalScrollBar()->value(), toolkit->horizontalScrollBar()->value());
    QCOMPARE(ours->verticalScrollBarPolicy(), toolkit->verticalScrollBarPolicy());
    QVERIFY(ours->isReadOnly());
}

void tst_QueryView::showMatchesSetPlainText_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty -> empty document") << QString();
    QTest::newRow("LF lines -> one block each") << QStringLiteral("a\nb\n\nc\n");
    QTest::newRow("CR LF -> one break per pair") << QStringLiteral("a\r\nb\r\n\r\nc");
    QTest::newRow("lone CR -> break") << QStringLiteral("a\rb\r\rc");
    QTest::newRow("CR CR LF -> two breaks") << QStringLiteral("a\r\r\nb");
    QTest::newRow("tabs and empty lines -> kept") << QStringLiteral("\n\tkey\tvalue\n\n\n");
    QTest::newRow("non-ASCII -> kept") << QStringLiteral("Größe ÄÖÜ \u212A \U0001F600 \u00A0x");
    QTest::newRow("paragraph separator -> break") << QStringLiteral("a\u2029b\u2028c");
    QTest::newRow("long CR LF document -> several pieces")
        << numberedLines(120000, QStringLiteral("\r\n"));
}

void tst_QueryView::showMatchesSetPlainText()
{
    QFETCH(QString, text);
    // A previous document, scrolled and with a selection, must leave no trace.
    const QString previous = numberedLines(500, QStringLiteral("\n"));
    for (QPlainTextEdit *view : {toolkit, ours}) {
        view->setPlainText(previous);
        QVERIFY(view->find(QStringLiteral("line 400")));
        view->horizontalScrollBar()->setValue(view->horizontalScrollBar()->maximum());
    }

    toolkit->setPlainText(text);
    showQueryDocument(ours, text);
    compareViews();
    QTRY_COMPARE(ours->horizontalScrollBar()->value(), toolkit->horizontalScrollBar()->value());
    QCOMPARE(ours->verticalScrollBar()->value(), toolkit->verticalScrollBar()->value());
}

void tst_QueryView::findMatchesToolkit_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("anchor");
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("term");
    QTest::addColumn<bool>("backward");

    const QString words = QStringLiteral("abc abd ABC");
    QTest::newRow("abc from start -> first abc") << words << 0 << 0 << "abc" << false;
    QTest::newRow("abc after first -> ABC") << words << 0 << 3 << "abc" << false;
    QTest::newRow("abc after ABC -> none") << words << 8 << 11 << "abc" << false;
    QTest::newRow("abc backward from end -> ABC") << words << 11 << 11 << "abc" << true;
    QTest::newRow("abc backward from ABC -> first abc") << words << 8 << 11 << "abc" << true;
    QTest::newRow("abc backward from first -> none") << words << 0 << 3 << "abc" << true;
    QTest::newRow("backward at start -> none") << words << 0 << 0 << "a" << true;
    QTest::newRow("ABD -> abd in the middle") << words << 0 << 0 << "ABD" << false;
    QTest::newRow("whole document -> selected") << words << 0 << 0 << words << false;
    QTest::newRow("absent -> none") << words << 0 << 0 << "xyz" << false;
    QTest::newRow("absent backward -> none") << words << 11 << 11 << "xyz" << true;
    QTest::newRow("empty term -> none") << words << 4 << 4 << "" << false;
    QTest::newRow("longer than document -> none") << words << 0 << 0 << words + "x" << false;
    QTest::newRow("overlap backward -> earlier start")
        << QStringLiteral("aaaa") << 1 << 2 << "aa" << true;
    QTest::newRow("overlap forward -> after selection")
        << QStringLiteral("aaaa") << 0 << 1 << "aa" << false;

    const QString crlf = QStringLiteral("one\r\ntwo\r\n\r\nthree two\r\n");
    QTest::newRow("CR LF forward -> shifted position") << crlf << 0 << 0 << "three" << false;
    QTest::newRow("CR LF from selection -> later two") << crlf << 4 << 7 << "TWO" << false;
    QTest::newRow("CR LF backward -> first two") << crlf << 15 << 18 << "two" << true;
    QTest::newRow("CR LF at block end -> hit") << crlf << 0 << 0 << "one" << false;
    QTest::newRow("term across break -> none") << crlf << 0 << 0 << "one\ntwo" << false;
    QTest::newRow("term with CR -> none") << crlf << 0 << 0 << "\r" << false;
    QTest::newRow("lone CR document -> hit")
        << QStringLiteral("a\rbc\rd") << 0 << 0 << "bc" << false;
    QTest::newRow("paragraph separator document -> hit")
        << QStringLiteral("x\u2029yz") << 4 << 4 << "X" << true;
    QTest::newRow("line separator inside block -> hit")
        << QStringLiteral("a\u2028b") << 0 << 0 << "a\u2028B" << false;

    const QString spaced = QStringLiteral("a\u00A0b a b");
    QTest::newRow("blank term -> matches non-breaking space") << spaced << 0 << 0 << "a b" << false;
    QTest::newRow("non-breaking space term -> none") << spaced << 0 << 0 << "a\u00A0b" << false;
    QTest::newRow("umlauts any case -> hit")
        << QStringLiteral("xx Größe") << 0 << 0 << "GRÖ" << false;
    QTest::newRow("Kelvin sign -> matches k")
        << QStringLiteral("ab \u212A") << 0 << 0 << "k" << false;
    QTest::newRow("surrogate pair term -> hit")
        << QStringLiteral("a \U0001F600 b") << 0 << 0 << "\U0001F600" << false;
    QTest::newRow("far down -> scrolled like the toolkit")
        << numberedLines(3000, QStringLiteral("\n")) << 0 << 0 << "LINE 2500" << false;
    QTest::newRow("far up backward -> scrolled like the toolkit")
        << numberedLines(3000, QStringLiteral("\r\n")) << 20000 << 20000 << "line 20\r" << true;
    QTest::newRow("far up backward -> last match before")
        << numberedLines(3000, QStringLiteral("\r\n")) << 20000 << 20000 << "line 20" << true;
}

void tst_QueryView::findMatchesToolkit()
{
    QFETCH(QString, text);
    QFETCH(int, anchor);
    QFETCH(int, position);
    QFETCH(QString, term);
    QFETCH(bool, backward);

    toolkit->setPlainText(text);
    showQueryDocument(ours, text);
    for (QPlainTextEdit *view : {toolkit, ours}) {
        QTextCursor cursor = view->textCursor();
        cursor.setPosition(anchor);
        cursor.setPosition(position, QTextCursor::KeepAnchor);
        view->setTextCursor(cursor);
    }
    const QTextDocument::FindFlags flags =
        backward ? QTextDocument::FindBackward : QTextDocument::FindFlags();
    const bool expected = toolkit->find(term, flags);
    QCOMPARE(findInView(ours, term, flags), expected);
    compareViews();
}

void tst_QueryView::findAfterEditSeesNewText()
{
    showQueryDocument(ours, QStringLiteral("first"));
    ours->appendPlainText(QStringLiteral("second"));
    QVERIFY(findInView(ours, QStringLiteral("SECOND"), {}));
    QCOMPARE(ours->textCursor().selectedText(), QStringLiteral("second"));

    ours->setPlainText(QStringLiteral("third"));
    QVERIFY(!findInView(ours, QStringLiteral("first"), {}));
    QVERIFY(findInView(ours, QStringLiteral("third"), {}));
}

QTEST_MAIN(tst_QueryView)
#include "tst_queryview.moc"
