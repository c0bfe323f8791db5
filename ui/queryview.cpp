#include "ui/queryview.h"

#include "query/documenttext.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

namespace {

// Pieces of about this many characters keep each insertion's temporary copy
// small while the document grows.
constexpr int fillChunk = 1 << 20;

// The index lives as a child of the document it describes, so it goes with
// the document, and steps aside at the first change of its text.
class QueryTextIndex : public QObject
{
    Q_OBJECT

public:
    // The text is only kept here; its positions are worked out at the first
    // search, so that opening a document does not pay for them.
    QueryTextIndex(QTextDocument *document, const QString &text)
        : QObject(document)
        , shown(text)
    {
        connect(document, &QTextDocument::contentsChange, this, &QueryTextIndex::invalidate);
    }

    bool isValid() const { return valid; }
    const DocumentText &documentText()
    {
        if (!indexed) {
            text = DocumentText(shown);
            shown = QString();
            indexed = true;
        }
        return text;
    }

    static QueryTextIndex *of(QTextDocument *document)
    {
        const auto indexes =
            document->findChildren<QueryTextIndex *>(QString(), Qt::FindDirectChildrenOnly);
        for (QueryTextIndex *index : indexes) {
            if (index->isValid())
                return index;
        }
        return nullptr;
    }

    static void dropAll(QTextDocument *document)
    {
        qDeleteAll(document->findChildren<QueryTextIndex *>(QString(), Qt::FindDirectChildrenOnly));
    }

private slots:
    void invalidate()
    {
        valid = false;
        text = DocumentText();
        shown = QString();
        deleteLater();
    }

private:
    QString shown;
    DocumentText text;
    bool indexed = false;
    bool valid = true;
};

} // namespace

void showQueryDocument(QPlainTextEdit *view, const QString &text)
{
    QTextDocument *document = view->document();
    QueryTextIndex::dropAll(document);

    // Resets what setPlainText resets (undo history, character format,
    // cursor) on an empty document, which costs nothing.
    view->setPlainText(QString());

    // A vertical scroll bar that appears after the fill narrows the viewport,
    // and a narrower viewport lays out every block of the document again.
    // Showing the bar before the fill makes that relayout one of an empty
    // document.
    const Qt::ScrollBarPolicy verticalPolicy = view->verticalScrollBarPolicy();
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    const bool undoRedo = document->isUndoRedoEnabled();
    document->setUndoRedoEnabled(false);
    QTextCursor fill(document);
    for (int from = 0; from < text.size();) {
        const int end = documentChunkEnd(text, from, fillChunk);
        fill.insertText(from == 0 && end == text.size() ? text : text.mid(from, end - from));
        from = end;
    }
    document->setUndoRedoEnabled(undoRedo);
    document->setModified(false);

    view->setVerticalScrollBarPolicy(verticalPolicy);
    view->setTextCursor(QTextCursor(document));
    view->horizontalScrollBar()->setValue(0);

    new QueryTextIndex(document, text);
}

bool findInView(QPlainTextEdit *view, const QString &term, QTextDocument::FindFlags flags)
{
    QTextDocument *document = view->document();
    QueryTextIndex *index = QueryTextIndex::of(document);
    const bool backward = flags == QTextDocument::FindBackward;
    if (!index || !(backward || flags == QTextDocument::FindFlags()) ||
        !DocumentText::canSearch(term))
        return view->find(term, flags);

    const QTextCursor current = view->textCursor();
    const DocumentText::Match match = index->documentText().find(
        term, backward ? current.selectionStart() : current.selectionEnd(), backward);
    if (match.start < 0)
        return false;
    QTextCursor found(document);
    found.setPosition(match.start);
    found.setPosition(match.start + match.length, QTextCursor::KeepAnchor);
    view->setTextCursor(found);
    return true;
}

DocumentText searchedText(QPlainTextEdit *view)
{
    QTextDocument *document = view->document();
    if (QueryTextIndex *index = QueryTextIndex::of(document))
        return index->documentText();
    // Block breaks are paragraph separators in the raw text, each one
    // position as in the document.
    return DocumentText(document->toRawText());
}

#include "queryview.moc"
