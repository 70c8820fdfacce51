#include "commands/quickcommandbutton.h"

#include "core/sessioninfo.h"

#include <QPushButton>
#include <QTextDocument>

namespace quickcommand {
namespace {
// A caption longer than this is shortened on its button; the tool tip keeps
// the command whole up to tipLength.
constexpr int captionWidth = 180;
constexpr int tipLength = 300;
} // namespace

QString groupBoxStyleSheet()
{
    return QStringLiteral(
        "QComboBox{background:#2d2d30;border:1px solid #3e3e42;color:#cccccc;padding:2px 6px;border-radius:3px;"
        "font-size:11px;}QComboBox::drop-down{border:none;width:16px;}QComboBox QAbstractItemView{background:#2d2d30;"
        "border:1px solid #3e3e42;color:#cccccc;selection-background-color:#007acc;}");
}

QString buttonStyleSheet(const QString &color)
{
    static const struct {
        const char *key, *rgb;
    } stripes[] = {{"red", "#f44747"}, {"green", "#4ec9b0"}, {"yellow", "#dcdcaa"}, {"blue", "#007acc"}};
    QString sheet = QStringLiteral("QPushButton{background-color:#2d2d30;border:1px solid #3e3e42;color:#cccccc;"
                                   "padding:2px 8px;border-radius:3px;font-size:11px;text-align:left;"
                                   "white-space:nowrap;}");
    for (const auto &stripe : stripes)
        if (color == QLatin1String(stripe.key))
            sheet += QStringLiteral("QPushButton{border-left:3px solid %1;}").arg(QLatin1String(stripe.rgb));
    return sheet + QStringLiteral("QPushButton:hover{background-color:#3e3e42;}");
}

bool isScript(const QString &command)
{
    return command.endsWith(QLatin1String(".vbs")) || command.endsWith(QLatin1String(".py"));
}

QPushButton *makeButton(const ButtonCommand &entry, QWidget *parent, QObject *context, ClickHandler onClick)
{
    // The caption is the user's text: an '&' shows as itself, not as a
    // mnemonic, and a long one is cut short.
    QString caption = parent->fontMetrics().elidedText(entry.text, Qt::ElideRight, captionWidth);
    auto *button = new QPushButton(caption.replace(QLatin1Char('&'), QStringLiteral("&&")), parent);
    button->setCursor(Qt::PointingHandCursor);
    button->setFocusPolicy(Qt::NoFocus);
    button->setStyleSheet(buttonStyleSheet(entry.color));
    const QString command = entry.command;
    QString tip = command.left(tipLength);
    if (command.size() > tipLength)
        tip += QStringLiteral("…");
    button->setToolTip(Qt::convertFromPlainText(tip));
    const bool script = isScript(command);
    QObject::connect(button, &QPushButton::clicked, context,
                     [onClick = std::move(onClick), command, script] { onClick(command, script); });
    return button;
}

} // namespace quickcommand
