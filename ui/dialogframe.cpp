#include "ui/dialogframe.h"

#include "core/languagemanager.h"
#include "ui/titlebar.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

class EnterRouter : public QObject
{
public:
    static constexpr char name[] = "enterRouter";
    explicit EnterRouter(QDialog *dialog) : QObject(dialog)
    {
        setObjectName(QLatin1String(name));
        dialog->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && watched == parent()) {
            // Before the dialog picks its default: an autoDefault button
            // would be picked by its place in the focus chain, and one that
            // once had the focus would stay the default after it lost it.
            for (QPushButton *button : static_cast<QDialog *>(watched)->findChildren<QPushButton *>()) {
                button->setAutoDefault(false);
                button->installEventFilter(this);
            }
            return false;
        }
        // Without autoDefault a button leaves Enter to the dialog's default;
        // here it presses the button itself, as Space does.
        auto *button = qobject_cast<QPushButton *>(watched);
        if (!button || event->type() != QEvent::KeyPress)
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        if (!enter || (key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
            return false;
        if (button->isEnabled())
            button->click();
        return true;
    }
};

} // namespace

void routeEnterKey(QDialog *dialog)
{
    if (!dialog->findChild<QObject *>(QLatin1String(EnterRouter::name), Qt::FindDirectChildrenOnly))
        new EnterRouter(dialog);
}

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
    routeEnterKey(dialog);
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
