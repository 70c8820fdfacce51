#pragma once

#include "commands/completionengine.h"

#include <QHash>
#include <QStyledItemDelegate>
#include <QWidget>

class QListWidget;
class QListWidgetItem;
class QTextDocument;

// Draws and measures a row's display text as rich text.
class HtmlItemDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    ~HtmlItemDelegate() override;
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    // The rows' documents, kept while the same rows come back with the
    // next key stroke instead of being parsed and laid out for every
    // measure and paint.
    QTextDocument *document(const QStyleOptionViewItem &option) const;
    mutable QHash<QString, QTextDocument *> documents;
};

// The ranked suggestions, in a frameless list just below where the user
// types. It never takes the keyboard focus: the owner's input keeps it and
// forwards the navigation keys (moveSelection, currentText, hidePopup).
class CommandCompleterPopup : public QWidget
{
    Q_OBJECT
public:
    // Rows show at most this many characters of a suggestion or description:
    // laying out a huge history entry as rich text would stall the display.
    static constexpr int MaxShownChars = 200;

    explicit CommandCompleterPopup(QWidget *parent = nullptr);
    ~CommandCompleterPopup() override;

    // Fills, sizes and places the popup at the global anchor, kept on the
    // anchor's screen, and shows it with the first row current; hides it
    // when there are no results. The anchor is the bottom-left of what the
    // user types into, `typingHeight` pixels tall: a popup with no room
    // below goes above it rather than over it, when there is room there.
    void showCandidates(const QVector<CompletionCandidate> &results, const QPoint &globalAnchor,
                        int typingHeight = 0);
    void hidePopup();
    // The plain text of the current row; empty when there is none.
    QString currentText() const;
    // Moves the current row by step, wrapping around at both ends.
    void moveSelection(int step);
    int currentRow() const { return current; }

    // The row's rich text: the suggestion in bold, the description in grey,
    // the source tag in its colour, every part HTML-escaped.
    static QString rowHtml(const CompletionCandidate &candidate);
    // Where a popup of the given size goes for an anchor, kept inside the
    // screen's available area.
    static QPoint placeWithin(QPoint anchor, const QSize &size, const QRect &available, int typingHeight = 0);

signals:
    void activated(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    void clicked(QListWidgetItem *item);

    QListWidget *list = nullptr;
    int current = -1;
};
