#pragma once

#include <QList>
#include <QWidget>

class QLabel;
class QTimer;

// The strip at the bottom of the main window: the current session's name,
// state and type, the recording indicator and a clock.
class StatusBar : public QWidget
{
    Q_OBJECT
public:
    explicit StatusBar(QWidget *parent = nullptr);

    void setHost(const QString &text);
    void setInfoText(const QString &text);
    void setConnectionState(const QString &state);
    void retranslateUi();

    // The state label's text for a state word; empty for an empty word.
    static QString stateText(const QString &state);

private:
    struct Entry {
        QLabel *label = nullptr;
        QLabel *separator = nullptr;
    };
    QLabel *addLabel(const QString &text, bool clickable = false, const QString &toolTip = QString());
    void addSeparator();
    void hideIfEmpty(QLabel *label);

    QList<Entry> entries;
    QLabel *hostLabel = nullptr;
    QLabel *stateLabel = nullptr;
    QLabel *infoLabel = nullptr;
    QLabel *recordLabel = nullptr;
    QLabel *clockLabel = nullptr;
    QTimer *clock = nullptr;
    QString currentState;
};
