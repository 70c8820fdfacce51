// Linked into every test of the widgets. A modal dialog nobody answers holds the test in its
// exec() until CTest's time-out, which logs only "Timeout". The answerers (modals.h) reply within
// milliseconds, so a dialog still open after kGraceMs was not expected: it is closed here and the
// test fails with its text.

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>

namespace {

constexpr int kGraceMs = 2000;

QString describe(QWidget *modal)
{
    QStringList parts{modal->metaObject()->className(), modal->windowTitle()};
    if (auto *box = qobject_cast<QMessageBox *>(modal))
        parts << box->text() << box->informativeText();
    else
        for (QLabel *label : modal->findChildren<QLabel *>())
            parts << label->text();
    parts.removeAll(QString());
    return parts.join(" | ");
}

void guardModals()
{
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    auto *timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, [] {
        static QPointer<QWidget> seen;
        static QElapsedTimer since;
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || modal != seen) {
            seen = modal;
            since.start();
            return;
        }
        if (since.elapsed() < kGraceMs)
            return;
        seen = nullptr;
        QTest::qFail(qPrintable("a modal dialog nobody expected, closed: " + describe(modal)), __FILE__, __LINE__);
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
        else
            modal->close();
    });
    timer->start(100);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(guardModals)
