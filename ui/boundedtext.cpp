#include "ui/boundedtext.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QStringList>
#include <QWidget>

QString boundedText(QWidget *w, const QString &text, int width)
{
    const QString shown = w->fontMetrics().elidedText(text, Qt::ElideMiddle, width);
    w->setToolTip(shown == text ? QString() : text);
    return shown;
}

void boundComboWidth(QComboBox *combo)
{
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    combo->setMinimumContentsLength(20);
    const auto follow = [combo] { combo->setToolTip(combo->currentText()); };
    QObject::connect(combo, &QComboBox::currentTextChanged, combo, follow);
    follow();
}

void setBoundedMessage(QMessageBox &box, const QString &text)
{
    // Lines of the program's own text stay whole; only a line wider than two
    // user texts is cut, so short messages read exactly as written.
    const QFontMetrics metrics = box.fontMetrics();
    QStringList lines = text.split(QLatin1Char('\n'));
    bool cut = false;
    for (QString &line : lines) {
        const QString shown = metrics.elidedText(line, Qt::ElideMiddle, 2 * kUserTextWidth);
        cut = cut || shown != line;
        line = shown;
    }
    box.setTextFormat(Qt::PlainText);
    box.setText(lines.join(QLatin1Char('\n')));
    box.setDetailedText(cut ? text : QString());
}

QMessageBox::StandardButton boundedMessage(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                                           const QString &text, QMessageBox::StandardButtons buttons,
                                           QMessageBox::StandardButton defaultButton)
{
    QMessageBox box(icon, title, QString(), buttons, parent);
    box.setDefaultButton(defaultButton);
    setBoundedMessage(box, text);
    return QMessageBox::StandardButton(box.exec());
}
