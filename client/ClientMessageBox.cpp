#include "ClientMessageBox.h"

#include <QApplication>

namespace {

QMessageBox* makeBox(QWidget* parent, const QString& text, const QString& caption, QMessageBox::StandardButtons buttons)
{
    auto* box = new QMessageBox(QMessageBox::NoIcon, caption.isNull() ? QApplication::applicationName() : caption, text,
                                buttons, parent);
    box->setObjectName(QString::fromLatin1(kMessageBoxName));
    box->setAttribute(Qt::WA_DeleteOnClose);
    return box;
}

}  // namespace

QMessageBox* ShowMessage(QWidget* parent, const QString& text, const QString& caption)
{
    QMessageBox* box = makeBox(parent, text, caption, QMessageBox::Ok);
    box->open();
    return box;
}

QMessageBox* ShowOrUpdateMessage(QPointer<QMessageBox>& box, QWidget* parent, const QString& text, const QString& caption)
{
    if (box && box->isVisible()) {
        box->setText(text);
        return box;
    }
    box = ShowMessage(parent, text, caption);
    return box;
}

QMessageBox* AskOkCancel(QWidget* parent, const QString& text, const QString& caption, std::function<void(bool)> done)
{
    QMessageBox* box = makeBox(parent, text, caption, QMessageBox::Ok | QMessageBox::Cancel);
    QObject::connect(box, &QMessageBox::finished, box, [box, done = std::move(done)](int) {
        if (done) {
            done(box->clickedButton() == box->button(QMessageBox::Ok));
        }
    });
    box->open();
    return box;
}
