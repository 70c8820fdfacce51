#include "core/languagemanager.h"
#include "ui/titlebar.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>

// A frameless window with a title bar on top, as every window of the program has.
struct Frame
{
    explicit Frame(bool maximizable) : bar(new TitleBar(&window, maximizable))
    {
        window.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
        bar->setGeometry(0, 0, 400, bar->sizeHint().height());
        window.setGeometry(100, 100, 400, 300);
        window.show();
    }
    QPushButton *button(const char *name) const { return bar->findChild<QPushButton *>(QLatin1String(name)); }
    QString maxButton() const { return button("titleMaxBtn")->text() + button("titleMaxBtn")->toolTip(); }

    QWidget window;
    TitleBar *bar;
};

class TestTitleBar : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { LanguageManager::setLanguage(QStringLiteral("en")); }

    // Two double clicks, then two clicks on the maximise button, each toggle
    // the main window; a dialog has no such button and ignores double clicks.
    void buttons()
    {
        for (bool maximizable : {true, false}) {
            Frame f(maximizable);
            QCOMPARE(f.button("titleMaxBtn") != nullptr, maximizable);
            for (int i = 0; i < (maximizable ? 4 : 1); ++i) {
                if (i < 2)
                    QTest::mouseDClick(f.bar, Qt::LeftButton, {}, QPoint(150, 15));
                else
                    QTest::mouseClick(f.button("titleMaxBtn"), Qt::LeftButton);
                QCOMPARE(f.window.isMaximized(), maximizable && i % 2 == 0);
                QVERIFY(!maximizable || f.maxButton() == (i % 2 ? QStringLiteral("□Maximize") : QStringLiteral("▣Restore")));
            }
            QTest::mouseClick(f.button("titleMinBtn"), Qt::LeftButton);
            QVERIFY(f.window.windowState() & Qt::WindowMinimized);
            f.window.showNormal();
            QTest::mouseClick(f.button("titleCloseBtn"), Qt::LeftButton);
            QVERIFY(!f.window.isVisible());
        }
    }

    // Below a Manhattan distance of 4 a press is a click and nothing moves;
    // beyond it the window follows the pointer (the platform here offers no
    // system move, so the bar moves the window itself). Dragging a maximised
    // window restores it at once.
    void drag_data()
    {
        QTest::addColumn<QPoint>("by");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("3 right") << QPoint(3, 0) << "stays";
        QTest::newRow("4 right") << QPoint(4, 0) << "moves";
        QTest::newRow("2 right 2 up") << QPoint(2, -2) << "moves";
        QTest::newRow("maximised, 10 right") << QPoint(10, 0) << "restores";
    }

    // A press, a move and a release with explicit global positions: the drag works on those.
    void drag()
    {
        QFETCH(QPoint, by);
        QFETCH(QString, outcome);
        Frame f(true);
        if (outcome == "restores")
            f.bar->toggleMaximize();
        const QPoint before = f.window.pos(), from = f.bar->mapToGlobal(QPoint(150, 15));
        for (const auto &[type, global] : {std::pair{QEvent::MouseButtonPress, from}, {QEvent::MouseMove, from + by},
                                           {QEvent::MouseButtonRelease, from + by}}) {
            const QPointF local = f.bar->mapFromGlobal(QPointF(global));
            QMouseEvent e(type, local, local, QPointF(global), type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(f.bar, &e);
        }
        QVERIFY(!f.window.isMaximized());
        QCOMPARE(f.maxButton(), QStringLiteral("□Maximize"));
        if (outcome != "restores")
            QCOMPARE(f.window.pos(), outcome == "moves" ? before + by : before);
    }
};

QTEST_MAIN(TestTitleBar)
#include "tst_titlebar.moc"
