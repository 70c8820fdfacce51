#pragma once

#include <QDialog>
#include <QList>

class QPushButton;
class QStackedWidget;
class TitleBar;

// The frame of the option dialogs: the program's title bar, a sidebar with
// one button per page, a stack of scrollable pages and the buttons
// 应用 (apply: write, stay open), 取消 (cancel) and 确定 (write and accept).
// Subclasses add their pages (see optionpage.h for how a page is declared)
// and write them back in applySettings.
class BaseSettingsDialog : public QDialog
{
    Q_OBJECT
public:
    BaseSettingsDialog(const QString &title, QWidget *parent = nullptr);

    // Appends a page and its sidebar button; the dialog takes the page over.
    void addPage(const QString &title, QWidget *page);
    void showPage(int index);
    int pageCount() const { return int(pageButtons.size()); }

protected:
    virtual void applySettings() = 0;
    bool eventFilter(QObject *watched, QEvent *event) override;

    QStackedWidget *contentStack = nullptr;
    QList<QPushButton *> pageButtons;
    TitleBar *titleBar = nullptr;
};
