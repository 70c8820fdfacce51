#include "ui/dialogframe.h"

#include "core/languagemanager.h"
#include "ui/titlebar.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QVBoxLayout>

DialogFrame frameDialog(QDialog *dialog, const QString &title, int margin, int spacing)
{
    DialogFrame frame;
    dialog->setWindowFlags((dialog->windowFlags() & ~Qt::WindowSystemMenuHint) | Qt::FramelessWindowHint);
    dialog->setWindowTitle(title);
    frame.outer = new QVBoxLayout(dialog);
    frame.outer->setContentsMargins(0, 0, 0, 0);
    frame.outer->setSpacing(0);
    frame.bar = new TitleBar(dialog, false);
    frame.bar->setTitle(title);
    frame.outer->addWidget(frame.bar);
    if (margin >= 0) {
        frame.body = new QWidget(dialog);
        frame.outer->addWidget(frame.body, 1);
        frame.layout = new QVBoxLayout(frame.body);
        frame.layout->setContentsMargins(margin, margin, margin, margin);
        frame.layout->setSpacing(spacing);
    }
    return frame;
}

QDialogButtonBox *dialogButtons(QDialog *dialog, const QString &okText)
{
    auto *box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, Qt::Horizontal, dialog);
    box->button(QDialogButtonBox::Ok)->setText(okText);
    box->button(QDialogButtonBox::Cancel)->setText(LanguageManager::tr("取消"));
    // The style's stock icons sit badly on the coloured buttons.
    for (QAbstractButton *button : box->buttons())
        button->setIcon(QIcon());
    QObject::connect(box, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(box, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return box;
}
