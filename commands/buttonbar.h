#pragma once

#include <QWidget>

class QComboBox;
class QScrollArea;

// A bar of the quick-command buttons on its own, with a group filter in
// front of them: the same buttons as the command window's strip, without
// each button's menu. Its own menu asks for a new group or a new command.
class ButtonBar : public QWidget
{
    Q_OBJECT
public:
    explicit ButtonBar(QWidget *parent = nullptr);

    // Makes the strip again from the store, for the group filter.
    void rebuild();

signals:
    void buttonCommand(const QString &command);
    void buttonScript(const QString &script);
    void addGroupRequested();
    void addCommandRequested(const QString &group);

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    QScrollArea *scrollArea = nullptr;
    QWidget *strip = nullptr;
    QComboBox *groupBox = nullptr;
    QString groupFilter; // label of the group shown; empty: all groups
};
