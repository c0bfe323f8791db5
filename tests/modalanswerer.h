#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <functional>

// Answers the modal dialogs a test provokes: each expected handler, in order,
// gets the next modal dialog and must close it. A dialog nobody expected is
// recorded in unexpected and closed, so the test fails instead of hanging.
struct ModalAnswerer : QTimer
{
    using Handler = std::function<void(QWidget *)>;

    ModalAnswerer()
    {
        connect(this, &QTimer::timeout, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal || modal == handled || !modal->isVisible())
                return;
            handled = modal;
            if (handlers.isEmpty()) {
                unexpected << modal->metaObject()->className();
                modal->close();
            } else {
                handlers.takeFirst()(modal);
            }
        });
        start(5);
    }

    void expect(Handler handler) { handlers << std::move(handler); }
    // Records the next message box as "title|text" in boxes and closes it; a
    // box that may read its text as rich text (which loads images by path)
    // is recorded as "not plain".
    void expectMessageBox()
    {
        expect([this](QWidget *widget) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            boxes << (!box ? QString("not a box")
                      : box->textFormat() != Qt::PlainText
                          ? QString("not plain")
                          : box->windowTitle() + '|' + box->text());
            widget->close();
        });
    }
    int pending() const { return handlers.size(); }

    QStringList boxes, unexpected;
    QList<Handler> handlers;
    QPointer<QWidget> handled;
};
