#include "mainwindow/placeholderwindow.h"

PlaceholderWindow::PlaceholderWindow(QWidget *parent)
    : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Halvorstead"));
    resize(1280, 820);
}
