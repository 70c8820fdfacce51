#pragma once

#include <QWidget>

// Stands in for the main window until it exists: an empty window with the
// program's title and size, nothing more.
class PlaceholderWindow : public QWidget
{
    Q_OBJECT
public:
    explicit PlaceholderWindow(QWidget *parent = nullptr);
};
