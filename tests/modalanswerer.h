#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <functional>

// Answers the modal dialogs that a test provokes: each expected handler runs,
// in order, on the next modal dialog that opens, and must close it. Message
// boxes can simply be recorded and confirmed with OK.
class ModalAnswerer : public QObject
{
public:
    using Handler = std::function<void(QWidget *)>;

    ModalAnswerer()
    {
        timer.setInterval(5);
        connect(&timer, &QTimer::timeout, this, &ModalAnswerer::poll);
        timer.start();
    }

    void expect(Handler handler) { handlers.append(std::move(handler)); }

    // Records the next message box as "title|text" in boxes and presses OK.
    void expectMessageBox()
    {
        expect([this](QWidget *widget) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (!box) {
                unexpected.append(widget->metaObject()->className());
                widget->close();
                return;
            }
            boxes.append(box->windowTitle() + QLatin1Char('|') + box->text());
            box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->reject();
        });
    }

    int pending() const { return handlers.size(); }

    QStringList boxes;
    QStringList unexpected;

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || modal == handled || !modal->isVisible())
            return;
        handled = modal;
        if (handlers.isEmpty()) {
            // Nothing expected: record it and close it, so the test fails
            // instead of hanging.
            unexpected.append(modal->metaObject()->className());
            modal->close();
            return;
        }
        handlers.takeFirst()(modal);
    }

    QTimer timer;
    QList<Handler> handlers;
    QPointer<QWidget> handled;
};
