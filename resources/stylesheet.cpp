#include "resources/stylesheet.h"

const char appStyleSheet[] = R"CSS(
QWidget {
    background-color: #1e1e1e;
    color: #cccccc;
    font-family: "Segoe UI", "Microsoft YaHei", "DejaVu Sans", "WenQuanYi Micro Hei", sans-serif;
    font-size: 13px;
}
QMainWindow, QMenuBar, QToolBar, QStatusBar { background-color: #252526; }
QMenuBar { border-bottom: 1px solid #3e3e42; }
QMenuBar::item { background: transparent; padding: 4px 10px; }
QMenuBar::item:selected { background-color: #3e3e42; }
QMenu { background-color: #252526; border: 1px solid #3e3e42; padding: 4px 0px; }
QMenu::item { padding: 5px 24px 5px 20px; }
QMenu::item:selected { background-color: #094771; color: #ffffff; }
QMenu::item:disabled { color: #6e6e6e; background: transparent; }
QMenu::separator { height: 1px; background: #3e3e42; margin: 4px 8px; }
QToolBar { border: none; spacing: 4px; padding: 2px 4px; }
QToolButton {
    background-color: #2d2d30;
    border: 1px solid #3e3e42;
    border-radius: 3px;
    padding: 4px 8px;
}
QToolButton:hover { border-color: #007acc; }
QToolButton:pressed { background-color: #007acc; color: #ffffff; }
QLineEdit, QTextEdit, QPlainTextEdit, QComboBox, QSpinBox {
    background-color: #3c3c3c;
    border: 1px solid #3e3e42;
    border-radius: 2px;
    padding: 3px 5px;
    selection-background-color: #094771;
}
QLineEdit:focus, QTextEdit:focus, QPlainTextEdit:focus, QComboBox:focus, QSpinBox:focus { border-color: #007acc; }
QComboBox QAbstractItemView {
    background-color: #252526;
    border: 1px solid #3e3e42;
    selection-background-color: #094771;
}
QCheckBox { spacing: 6px; }
QCheckBox::indicator {
    width: 14px;
    height: 14px;
    border: 1px solid #6e6e6e;
    border-radius: 2px;
    background-color: #2d2d30;
}
QCheckBox::indicator:checked {
    background-color: #007acc;
    border-color: #007acc;
    image: url(:/icons/checkmark.svg);
}
QCheckBox::indicator:disabled { background-color: #252526; }
QTreeWidget { background-color: #252526; border: none; outline: none; }
QTreeWidget::item { padding: 3px 2px; }
QTreeWidget::item:hover { background-color: #3e3e42; }
QTreeWidget::item:selected { background-color: #094771; color: #ffffff; }
QScrollBar:vertical { background: #1e1e1e; width: 8px; margin: 0px; }
QScrollBar:horizontal { background: #1e1e1e; height: 8px; margin: 0px; }
QScrollBar::handle:vertical { background: #3e3e42; border-radius: 4px; min-height: 24px; }
QScrollBar::handle:horizontal { background: #3e3e42; border-radius: 4px; min-width: 24px; }
QScrollBar::handle:hover { background: #4e4e52; }
QScrollBar::add-line, QScrollBar::sub-line { width: 0px; height: 0px; border: none; background: none; }
QScrollBar::add-page, QScrollBar::sub-page { background: none; }
QPushButton {
    background-color: #2d2d30;
    border: 1px solid #3e3e42;
    border-radius: 3px;
    padding: 6px 16px;
}
QPushButton:hover { background-color: #3e3e42; }
QPushButton:disabled { color: #6e6e6e; }
QPushButton#primaryButton { background-color: #007acc; border: none; color: #ffffff; }
QPushButton#primaryButton:hover { background-color: #1177bb; }
QPushButton#dangerButton { background-color: #f44747; border: 1px solid #f44747; color: #ffffff; }
TerminalTabBar QScrollArea { background-color: #252526; border: none; }
QStatusBar { background-color: #007acc; color: #ffffff; }
QStatusBar::item { border: none; }
QStatusBar QLabel { background: transparent; color: #ffffff; }
QToolTip { background-color: #2d2d30; border: 1px solid #3e3e42; color: #cccccc; padding: 4px; }
QTabWidget::pane { border: 1px solid #3e3e42; }
QHeaderView::section { background-color: #252526; color: #cccccc; border: none; border-right: 1px solid #3e3e42; padding: 4px; }
)CSS";
