#include "sftp/widgets/sftpprompts.h"

#include "ui/boundedtext.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMenu>

namespace {

SftpPrompts qtPrompts()
{
    SftpPrompts p;
    p.text = [](QWidget *parent, const QString &title, const QString &label, const QString &text) {
        bool ok = false;
        const QString answer = QInputDialog::getText(parent, title, label, QLineEdit::Normal, text, &ok);
        return ok ? std::optional<QString>(answer) : std::nullopt;
    };
    p.saveFile = [](QWidget *parent, const QString &caption, const QString &start) {
        return QFileDialog::getSaveFileName(parent, caption, start);
    };
    p.openFile = [](QWidget *parent, const QString &caption) { return QFileDialog::getOpenFileName(parent, caption); };
    p.folder = [](QWidget *parent, const QString &caption) {
        return QFileDialog::getExistingDirectory(parent, caption, QString(), QFileDialog::ShowDirsOnly);
    };
    p.confirm = [](QWidget *parent, const QString &title, const QString &question) {
        return boundedMessage(parent, QMessageBox::Question, title, question,
                              QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    };
    p.runMenu = [](QMenu *menu, const QPoint &globalPos) { menu->exec(globalPos); };
    return p;
}

} // namespace

SftpPrompts &sftpPrompts()
{
    static SftpPrompts prompts = qtPrompts();
    return prompts;
}

void resetSftpPrompts() { sftpPrompts() = qtPrompts(); }
