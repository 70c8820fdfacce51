#include "core/languagemanager.h"
#include "mainwindow/titlebar.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>

// A frameless window with a title bar on top, as every window of the program has.
struct Frame
{
    explicit Frame(bool maximizable)
    {
        window.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
        auto *layout = new QVBoxLayout(&window);
        layout->setContentsMargins(0, 0, 0, 0);
        bar = new TitleBar(&window, maximizable);
        layout->addWidget(bar);
        layout->addStretch(1);
        window.setGeometry(100, 100, 400, 300);
        window.show();
    }
    QPushButton *button(const char *name) const { return bar->findChild<QPushButton *>(QLatin1String(name)); }

    QWidget window;
    TitleBar *bar = nullptr;
};

// Mouse events with explicit global positions: the drag works on those.
void sendMouse(QWidget *w, QEvent::Type type, const QPoint &global, Qt::MouseButtons held)
{
    const QPointF local = w->mapFromGlobal(QPointF(global));
    QMouseEvent e(type, local, local, QPointF(global), type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, held,
                  Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

void drag(TitleBar *bar, const QPoint &from, const QPoint &by)
{
    sendMouse(bar, QEvent::MouseButtonPress, from, Qt::LeftButton);
    sendMouse(bar, QEvent::MouseMove, from + by, Qt::LeftButton);
    sendMouse(bar, QEvent::MouseButtonRelease, from + by, Qt::NoButton);
}

class TestTitleBar : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { LanguageManager::setLanguage(QStringLiteral("en")); }

    void doubleClick_data()
    {
        QTest::addColumn<bool>("maximizable");
        QTest::newRow("main window") << true;
        QTest::newRow("dialog") << false;
    }

    void doubleClick()
    {
        QFETCH(bool, maximizable);
        Frame f(maximizable);
        QCOMPARE(f.button("titleMaxBtn") != nullptr, maximizable);
        QTest::mouseDClick(f.bar, Qt::LeftButton, {}, QPoint(150, 15));
        QCOMPARE(f.window.isMaximized(), maximizable);
        if (!maximizable)
            return;
        QCOMPARE(f.button("titleMaxBtn")->text(), QStringLiteral("▣"));
        QCOMPARE(f.button("titleMaxBtn")->toolTip(), QStringLiteral("Restore"));
        QTest::mouseDClick(f.bar, Qt::LeftButton, {}, QPoint(150, 15));
        QVERIFY(!f.window.isMaximized());
        QCOMPARE(f.button("titleMaxBtn")->text(), QStringLiteral("□"));
    }

    void buttons()
    {
        Frame f(true);
        QTest::mouseClick(f.button("titleMaxBtn"), Qt::LeftButton);
        QVERIFY(f.window.isMaximized());
        QTest::mouseClick(f.button("titleMaxBtn"), Qt::LeftButton);
        QVERIFY(!f.window.isMaximized());
        QTest::mouseClick(f.button("titleMinBtn"), Qt::LeftButton);
        QVERIFY(f.window.windowState() & Qt::WindowMinimized);
        f.window.showNormal();
        QTest::mouseClick(f.button("titleCloseBtn"), Qt::LeftButton);
        QVERIFY(!f.window.isVisible());
    }

    // Below a Manhattan distance of 4 a press is a click and nothing moves;
    // beyond it the window follows the pointer (the platform here offers no
    // system move, so the bar moves the window itself).
    void dragThreshold_data()
    {
        QTest::addColumn<QPoint>("by");
        QTest::addColumn<bool>("moves");
        QTest::newRow("3 right") << QPoint(3, 0) << false;
        QTest::newRow("2 right 1 down") << QPoint(2, 1) << false;
        QTest::newRow("2 left 1 up") << QPoint(-2, -1) << false;
        QTest::newRow("4 right") << QPoint(4, 0) << true;
        QTest::newRow("2 right 2 up") << QPoint(2, -2) << true;
        QTest::newRow("30 right 20 down") << QPoint(30, 20) << true;
    }

    void dragThreshold()
    {
        QFETCH(QPoint, by);
        QFETCH(bool, moves);
        Frame f(true);
        const QPoint before = f.window.pos();
        const QPoint grip = f.bar->mapToGlobal(QPoint(150, 15));
        drag(f.bar, grip, by);
        QCOMPARE(f.window.pos(), moves ? before + by : before);
    }

    // Dragging a maximised window restores it at once and shows "□".
    void dragRestoresMaximized()
    {
        Frame f(true);
        f.bar->toggleMaximize();
        QVERIFY(f.window.isMaximized());
        const QPoint grip = f.bar->mapToGlobal(QPoint(150, 15));
        drag(f.bar, grip, QPoint(10, 0));
        QVERIFY(!f.window.isMaximized());
        QCOMPARE(f.button("titleMaxBtn")->text(), QStringLiteral("□"));
        QCOMPARE(f.button("titleMaxBtn")->toolTip(), QStringLiteral("Maximize"));
    }
};

QTEST_MAIN(TestTitleBar)
#include "tst_titlebar.moc"
